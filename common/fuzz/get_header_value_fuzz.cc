// GetHeaderValue on arbitrary bytes: the first line of the input is the field name, the rest the
// header line. A value is a piece of the line and never spans a line end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\n');
  std::string_view field = split == std::string_view::npos ? input : input.substr(0, split);
  std::string_view line =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
  std::string value = "x";
  bool found = qv::GetHeaderValue(line, field, &value);
  if (!found && !value.empty()) abort();
  if (found) {
    if (value.find_first_of("\r\n") != std::string::npos) abort();
    if (line.find(value) == std::string_view::npos) abort();
    if (line.find(':') == std::string_view::npos) abort();
  }
  if (qv::GetHeaderValue(line, field, nullptr) != found) abort();
  return 0;
}
