// The placeholder expansion on arbitrary bytes. The first byte gives the options; the next two
// lines are the parameters and the definitions, the rest is the message. The arguments stay
// within the limit and are never more than the words of the parameters (as many when nothing
// was cut); the line begins with the program and splits into the arguments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/program.h"
#include "platform/spawn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  auto next_line = [&rest]() {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    return line;
  };
  std::string_view parameters = next_line();
  std::string_view keywords = next_line();
  qv::CommandFields fields{"/usr/lib/qv/prog", parameters, keywords, data[0]};
  qv::CommandLine got = qv::BuildCommandLine(fields, rest);
  if (got.program != "/usr/lib/qv/prog") abort();
  size_t length = got.program.size();
  for (const std::string& argument : got.arguments) length += 1 + argument.size();
  if (length > qv::kCommandLineMax) abort();
  size_t words = qv::platform::SplitCommandLine(parameters.substr(0, parameters.find('\0'))).size();
  if (got.arguments.size() > words) abort();
  if (length < qv::kCommandLineMax && got.arguments.size() != words) abort();
  if (got.line.compare(0, got.program.size(), got.program) != 0) abort();
  if (!got.line.empty() && got.line.back() == ' ') abort();
  std::string_view after(got.line);
  after.remove_prefix(std::min(after.size(), got.program.size() + 1));
  if (qv::platform::SplitCommandLine(after) != got.arguments) abort();
  return 0;
}
