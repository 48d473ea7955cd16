// Until the list and responder code arrives, its operations do nothing.
#include "smtp/listhooks.h"

namespace qv::smtp {

int DistributeToList(const LISTSTRUCT&, std::string_view, int, bool) {
  return 0;
}
int ProcessListCommands(std::string_view, std::string_view, int) {
  return 0;
}
bool ListCommandsInProgress() {
  return false;
}
int JoinList(std::string_view, std::string_view, std::string_view) {
  return 0;
}
int RunResponder(std::string_view, std::string_view, std::string_view) {
  return 0;
}

}  // namespace qv::smtp
