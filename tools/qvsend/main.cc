// qvsend: sends a prepared message file by SMTP to a named host or to the recipients' mail
// exchangers. See send.h.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/qvsend/send.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  int code = qv::qvsend::Run(args, stdout);
  std::fflush(stdout);
  return code;
}
