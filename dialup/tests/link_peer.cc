// A process for the link manager tests: a manager on the libraries named by the arguments (dial-up
// layer, link share library), answering "ready", then one line per input line:
//   open <entry>    -> <handle>|<error text>
//   close <entry>   -> 1 or 0
//   active <entry>  -> 1 or 0
#include <iostream>
#include <sstream>
#include <string>

#include "dialup/link_manager.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  qv::dialup::LinkSettings settings;
  settings.ras_library = argv[1];
  settings.share_library = argv[2];
  qv::dialup::LinkManager manager(settings);
  std::cout << "ready" << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd, entry;
    in >> cmd >> entry;
    if (cmd == "open") {
      qv::Result<HRASCONN> link = manager.OpenConnection(entry.c_str());
      std::cout << (link.ok() ? *link : 0) << '|' << link.error() << std::endl;
    } else if (cmd == "close") {
      std::cout << (manager.CloseConnection(entry.c_str()) ? 1 : 0) << std::endl;
    } else if (cmd == "active") {
      std::cout << (manager.IsConnectionActive(entry.c_str()) ? 1 : 0) << std::endl;
    } else {
      std::cout << "?" << std::endl;
    }
  }
  return 0;
}
