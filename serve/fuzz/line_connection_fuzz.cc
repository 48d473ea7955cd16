// The line connection on arbitrary bytes, fed in reads of the size the first byte gives and then
// in one read. A line starting with "r" takes as many bytes of raw input as the line is long,
// and one starting with "p" pauses until the next read. What is handed on must not depend on
// the reads: lines never hold CR LF or pass the limit, and both runs see the same.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "serve/line_connection.h"
#include "serve/testing/fake_link.h"

namespace {

// Settings under which no log is written.
const qv::Settings& NoLog() {
  static const qv::Settings settings;
  return settings;
}

class Recorder : public qv::LineConnection {
 public:
  explicit Recorder(qv::ConnectionLink& link) : LineConnection(link, NoLog(), "f", "long\r\n") {}
  void OnIdle() override {}
  using LineConnection::Resume;

  std::string seen;

 private:
  void OnLine(std::string_view line) override {
    if (line.find("\r\n") != std::string_view::npos || line.size() + 2 > qv::kCommandLineLimit)
      abort();
    seen += "L" + std::to_string(line.size()) + ":";
    seen.append(line);
    if (!line.empty() && line[0] == 'r') {
      raw_left_ = line.size();
      SetRawInput(true);
    } else if (!line.empty() && line[0] == 'p') {
      Pause();
    }
    Reply("ok\r\n");
  }

  size_t OnRawInput(std::string_view bytes) override {
    size_t take = std::min(bytes.size(), raw_left_);
    seen += "R" + std::to_string(take) + ":";
    seen.append(bytes.substr(0, take));
    raw_left_ -= take;
    if (raw_left_ == 0) SetRawInput(false);
    return take;
  }

  size_t raw_left_ = 0;
};

// Lines and raw pieces as one text (raw pieces joined), and the replies.
std::string Run(std::string_view input, size_t read_size) {
  qv::testing::FakeLink link;
  Recorder c(link);
  for (size_t i = 0; i < input.size() && !c.closed(); i += read_size) {
    c.Resume();
    c.OnReceive(input.substr(i, read_size));
  }
  while (c.paused() && !c.closed()) c.Resume();
  std::string joined;
  // Raw input may arrive in several pieces; join neighbouring pieces so the two runs compare.
  for (size_t at = 0; at < c.seen.size();) {
    char kind = c.seen[at];
    size_t colon = c.seen.find(':', at);
    size_t length = std::stoul(c.seen.substr(at + 1, colon - at - 1));
    std::string_view body = std::string_view(c.seen).substr(colon + 1, length);
    if (kind == 'R' && !joined.empty() && joined.back() == '\x01') {
      joined.pop_back();
    } else {
      joined += kind;
    }
    joined.append(body);
    if (kind == 'R') joined += '\x01';
    at = colon + 1 + length;
  }
  return joined + "|" + link.sent + (link.closed ? "|closed" : "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t read_size = 1 + data[0] % 64;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (Run(input, read_size) != Run(input, std::max<size_t>(input.size(), 1))) abort();
  return 0;
}
