// The command reading of list-manager mail and the stored-form encoder over hostile text.
// Checked: command lines hold no CR and never begin with LF; arguments stay within their fields
// and hold no CR or LF; the encoder's output, split into lines, gives back the input's lines
// with one leading "." removed from each line that begins with "."; every LF follows a CR.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mail/lists.h"

using qv::lists::CommandLines;
using qv::lists::ParseCommandLine;
using qv::lists::ParsedCommand;
using qv::lists::StoredFormEncoder;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void CheckArgument(const std::string& a) {
  Check(a.size() <= 127);
  Check(a.find_first_of("\r\n") == std::string::npos);
}

// Lines of a text that ends its lines with LF, CR LF or nothing.
std::string Unstuff(std::string_view stored) {
  std::string out;
  bool at_start = true;
  for (size_t i = 0; i < stored.size(); ++i) {
    char c = stored[i];
    if (at_start && c == '.') {
      Check(i + 1 < stored.size() && stored[i + 1] == '.');
      ++i;
    }
    out.push_back(stored[i]);
    at_start = stored[i] == '\n';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const std::string& line : CommandLines(text)) {
    Check(line.find('\r') == std::string::npos);
    Check(!line.empty() && line[0] != '\n');
    ParsedCommand c = ParseCommandLine(line);
    CheckArgument(c.list_address);
    CheckArgument(c.member);
    CheckArgument(c.name);
  }
  ParsedCommand whole = ParseCommandLine(text);
  CheckArgument(whole.list_address);

  // Encode in two pieces split at the first byte's position.
  size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  StoredFormEncoder encoder(true);
  std::string stored;
  encoder.Append(text.substr(0, cut), &stored);
  encoder.Append(text.substr(cut), &stored);
  for (size_t i = 0; i < stored.size(); ++i)
    if (stored[i] == '\n') Check(i > 0 && stored[i - 1] == '\r');
  // Removing the stuffing and the added CRs gives the input back.
  std::string plain = Unstuff(stored);
  std::string expected;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) expected.push_back('\r');
    expected.push_back(text[i]);
  }
  Check(plain == expected);
  return 0;
}
