// SplitAddress on arbitrary bytes: the parts it returns are pieces of the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string local, domain;
  int result = qv::SplitAddress(text, &local, &domain);
  std::string_view cut =
      text.substr(0, text.find('\0') == std::string_view::npos ? text.size() : text.find('\0'));
  if (result != 0 && result != 1) abort();
  if ((result == 1) != (cut.find('@') != std::string_view::npos)) abort();
  if (cut.find(local) == std::string_view::npos) abort();
  if (cut.find(domain) == std::string_view::npos) abort();
  if (result == 0 && !domain.empty()) abort();
  if (result == 1 && cut.find(local + "@" + domain) == std::string_view::npos) abort();
  return 0;
}
