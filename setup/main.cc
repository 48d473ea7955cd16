// qvsetup: the installation program. See installer.h.
#include <cstdio>
#include <string>
#include <vector>

#include "setup/installer.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  int code = qv::setup::RunSetup(args, stdout, stderr);
  std::fflush(stdout);
  return code;
}
