#include "smtp/util.h"

#include "platform/fileio.h"

namespace qv::smtp {

bool WriteSpool(int fd, std::string_view text) {
  return text.empty() || platform::WriteAll(fd, text.data(), text.size());
}

}  // namespace qv::smtp
