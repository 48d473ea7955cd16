// Hostile header values against fixed command records, as mail reaches the "changepass" command
// and any other command address. The input is split at its newlines into the values of the
// headers User, OldPass, NewPass, Subject and From; its first byte picks the record. Whatever
// the values hold (quotes, backslashes, blanks, placeholder names), the program gets exactly the
// arguments the record's parameters have, the fixed ones unchanged, and no value is expanded
// again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/program.h"
#include "platform/spawn.h"

namespace {

struct Record {
  const char* parameters;
  const char* keywords;
  uint32_t options;
  // Arguments that hold no placeholder, by index, which must come out unchanged.
  std::vector<std::pair<size_t, std::string>> fixed;
};

const char kPasswordKeywords[] =
    "User: %%username%%\r\nOldPass: %%oldpass%%\r\nNewPass: %%newpass%%\r\n";

const Record kRecords[] = {
    {"%%username%% %%oldpass%% %%newpass%%", kPasswordKeywords, 1, {}},
    {"\"%%Subject:%%\" fixed --from=%%From:%%", "", 0, {{1, "fixed"}}},
    {"a\\\"b \"%%Subject:%% x\" %%Subject:%% \"\" end", "", 0, {{0, "a\"b"}, {3, ""}, {4, "end"}}},
    {"%%Subject:%%%%From:%% -u \"%%username%%\" %%Subject:%%", kPasswordKeywords, 1, {{1, "-u"}}},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Record& record = kRecords[data[0] % (sizeof kRecords / sizeof kRecords[0])];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  static const char* const kHeaders[] = {"User: ", "OldPass: ", "NewPass: ", "Subject: ", "From: "};
  std::string message;
  std::vector<std::string_view> values;
  for (const char* header : kHeaders) {
    size_t end = rest.find('\n');
    values.push_back(rest.substr(0, end));
    message += header;
    message += values.back();
    message += "\r\n";
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  // Where the Subject line ends; the message up to there is read whole when it has no NUL.
  size_t subject_end = message.find("\r\nFrom: ");
  message += "\r\n";
  message += rest;

  qv::CommandFields fields{"/usr/lib/qv/qvpass", record.parameters, record.keywords,
                           record.options};
  qv::CommandLine got = qv::BuildCommandLine(fields, message);
  if (got.program != "/usr/lib/qv/qvpass") abort();
  size_t words = qv::platform::SplitCommandLine(record.parameters).size();
  size_t length = got.program.size();
  for (const std::string& argument : got.arguments) length += 1 + argument.size();
  if (length > qv::kCommandLineMax) abort();
  if (length < qv::kCommandLineMax && got.arguments.size() != words) abort();
  for (const auto& [index, text] : record.fixed) {
    if (index < got.arguments.size() && got.arguments[index] != text) abort();
  }
  for (const std::string& argument : got.arguments) {
    if (argument.find_first_of("\r\n") != std::string::npos) abort();
  }
  std::string_view after(got.line);
  after.remove_prefix(std::min(after.size(), got.program.size() + 1));
  if (qv::platform::SplitCommandLine(after) != got.arguments) abort();
  // The quoted Subject argument is the Subject value, blanks around it aside, whatever it holds
  // (placeholder names included: a value is never expanded again).
  std::string_view subject = values[3];
  if (&record == &kRecords[1] && length < qv::kCommandLineMax &&
      subject_end < qv::kCommandMessageBytes && message.find('\0') >= subject_end &&
      subject.find('\r') == std::string_view::npos) {
    size_t first = subject.find_first_not_of(" \t");
    size_t last = subject.find_last_not_of(" \t");
    std::string_view expected = first == std::string_view::npos
                                    ? std::string_view()
                                    : subject.substr(first, last - first + 1);
    if (got.arguments.empty() || got.arguments[0] != expected) abort();
  }
  return 0;
}
