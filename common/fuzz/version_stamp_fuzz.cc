// The version stamp reader on arbitrary bytes taken as a program file: it reads only inside the
// file and gives at most 256 characters without a NUL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/program.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qv::FileReader read = [data, size](uint64_t offset, size_t want, void* out) {
    if (offset > size || size - offset < want) return false;
    if (want > 0) std::memcpy(out, data + offset, want);
    return true;
  };
  std::string text;
  bool found = qv::ReadVersionStamp(read, &text);
  if (found == text.empty()) abort();
  if (text.size() > 256 || text.find('\0') != std::string::npos) abort();
  return 0;
}
