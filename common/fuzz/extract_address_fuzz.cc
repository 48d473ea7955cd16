// ExtractAddress on arbitrary bytes: the address is a piece of the text and the result points
// just after a ";".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string address;
  size_t next = qv::ExtractAddress(text, &address);
  size_t nul = text.find('\0');
  std::string_view cut = text.substr(0, nul == std::string_view::npos ? text.size() : nul);
  if (next > cut.size()) abort();
  if (next != 0 && cut[next - 1] != ';') abort();
  if (next != 0 && cut.substr(0, next - 1).find(';') != std::string_view::npos) abort();
  if (cut.find(address) == std::string_view::npos) abort();
  if (address.find_first_of("\r\n>") != std::string::npos) abort();
  return 0;
}
