// qvsend: sends a prepared message file by SMTP to a named host or to the recipients' mail
// exchangers. See send.h.
#include <cstdio>
#include <string>
#include <vector>

#include "common/tool_frame.h"
#include "tools/qvsend/send.h"

int main(int argc, char** argv) {
  return qv::tool::RunWithArguments(argc, argv, [](const std::vector<std::string>& args) {
    return qv::qvsend::Run(args, stdout);
  });
}
