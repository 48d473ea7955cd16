// The pieces of bench/compare written in C++: mailboxes filled with one text for either server,
// and a raw POP3 client that lists a mailbox and retrieves every message of it.
//
//   compare_tool fill-mailbox DIR COUNT SIZE   messages of SIZE bytes as qvpop395 stores them
//                                               (the system root comes from QUORVANE_SYSTEM)
//   compare_tool fill-maildir DIR COUNT SIZE   the same texts as Maildir files in DIR/new
//   compare_tool write-mailbox DIR FIRST COUNT SIZE
//                                               messages FIRST..FIRST+COUNT-1 written straight in
//                                               qvpop395's stored form (masked, named
//                                               YYMMDDhhmmssNN.in for seconds going back from a
//                                               fixed day), without the flush per file of
//                                               delivery: for mailboxes of 10,000 and more
//   compare_tool pop3 PORT USER PASSWORD       USER, PASS, LIST, RETR of every message, QUIT;
//                                               prints "messages bytes seconds"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "bench/bench_util.h"
#include "common/mailfile.h"

namespace {

// The message text: a small header and lines of 76 characters, SIZE bytes with CR LF endings.
std::string MessageText(size_t size) {
  std::string text = "Subject: benchmark message\r\nFrom: <bench@bench.test>\r\n\r\n";
  const std::string line = std::string(76, 'x') + "\r\n";
  while (text.size() + line.size() <= size) text += line;
  while (text.size() + 2 < size) text += 'y';
  if (text.size() < size) text += "\r\n";
  return text;
}

std::string WithoutCr(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r') out += c;
  }
  return out;
}

int FillMailbox(const std::string& dir, int count, size_t size) {
  const std::string text = MessageText(size);
  for (int i = 0; i < count; ++i) {
    if (qv::WriteMessageFile(dir, qv::kMailboxExtension, text) != 0) {
      std::fprintf(stderr, "compare_tool: cannot write a message into %s\n", dir.c_str());
      return 1;
    }
  }
  return 0;
}

// The stored form without delivery's cost: the names a second offers are taken in order by
// MakeMessageFileName, which tries every taken name again for each new one and flushes each file,
// so that 100,000 messages would take many minutes. Names here come from the message number (100
// per second, the seconds counted back from a fixed day), so filling in several steps never
// repeats one; the caller syncs once at the end.
int WriteMailbox(const std::string& dir, long first, long count, size_t size) {
  std::string text = MessageText(size);
  qv::ScrambleBuffer(text.data(), text.size());
  std::filesystem::create_directories(dir);
  const std::time_t base = 1767225600;  // 2026-01-01 00:00:00 UTC
  for (long i = first; i < first + count; ++i) {
    std::time_t at = base - i / qv::kMessageDigitNames;
    std::tm local{};
    localtime_r(&at, &local);
    std::string name = qv::MessageFileNameAt(dir, qv::kMailboxExtension, local,
                                             static_cast<int>(i % qv::kMessageDigitNames));
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
      std::fprintf(stderr, "compare_tool: cannot write %s\n", name.c_str());
      return 1;
    }
  }
  return 0;
}

// Maildir files hold LF line ends; the POP3 server sends them with CR LF, so both servers put
// the same bytes on the wire.
int FillMaildir(const std::string& dir, int count, size_t size) {
  const std::string text = WithoutCr(MessageText(size));
  for (const char* sub : {"new", "cur", "tmp"})
    std::filesystem::create_directories(dir + "/" + sub);
  long now = static_cast<long>(std::time(nullptr));
  for (int i = 0; i < count; ++i) {
    std::string name = dir + "/new/" + std::to_string(now) + ".M" + std::to_string(i) + "P" +
                       std::to_string(getpid()) + ".bench";
    std::ofstream out(name, std::ios::binary);
    out << text;
    if (!out) {
      std::fprintf(stderr, "compare_tool: cannot write %s\n", name.c_str());
      return 1;
    }
  }
  return 0;
}

// A blocking POP3 client reading into one buffer.
class Pop3Client {
 public:
  ~Pop3Client() {
    if (fd_ >= 0) close(fd_);
  }
  bool Connect(int port) {
    fd_ = qv::bench::ConnectLoopback(port, 60);  // a server that stops answering fails the run
    return fd_ >= 0;
  }
  bool Send(std::string_view text) { return qv::bench::SendAll(fd_, text); }
  // Reads up to and with `end`; *text (when given) receives the bytes before it. False when the
  // connection ends first.
  bool Until(std::string_view end, std::string* text = nullptr, size_t* count = nullptr) {
    size_t from = 0;
    for (;;) {
      size_t at = buffer_.find(end, from);
      if (at != std::string::npos) {
        if (text != nullptr) text->assign(buffer_, 0, at);
        if (count != nullptr) *count = at;
        buffer_.erase(0, at + end.size());
        return true;
      }
      from = buffer_.size() >= end.size() ? buffer_.size() - end.size() + 1 : 0;
      char chunk[1 << 16];
      ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  std::string buffer_;
};

int Pop3(int port, const std::string& user, const std::string& password) {
  Pop3Client c;
  std::string reply;
  auto ok = [&]() { return c.Until("\r\n", &reply) && reply.compare(0, 3, "+OK") == 0; };
  if (!c.Connect(port) || !ok() || !c.Send("USER " + user + "\r\n") || !ok() ||
      !c.Send("PASS " + password + "\r\n") || !ok()) {
    std::fprintf(stderr, "compare_tool: logon to port %d failed: %s\n", port, reply.c_str());
    return 1;
  }
  auto start = std::chrono::steady_clock::now();
  std::string listing;
  if (!c.Send("LIST\r\n") || !ok() || !c.Until("\r\n.\r\n", &listing)) return 1;
  int count = 0;
  for (char ch : listing) count += ch == '\n' ? 1 : 0;
  if (!listing.empty()) ++count;  // the last line's CR LF is part of the terminator
  long long bytes = 0;
  for (int n = 1; n <= count; ++n) {
    size_t body = 0;
    if (!c.Send("RETR " + std::to_string(n) + "\r\n") || !ok() ||
        !c.Until("\r\n.\r\n", nullptr, &body)) {
      std::fprintf(stderr, "compare_tool: RETR %d failed: %s\n", n, reply.c_str());
      return 1;
    }
    bytes += static_cast<long long>(body) + 2;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  c.Send("QUIT\r\n");
  c.Until("\r\n");
  std::printf("%d %lld %.6f\n", count, bytes, seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "";
  if ((what == "fill-mailbox" || what == "fill-maildir") && argc == 5) {
    int count = std::atoi(argv[3]);
    size_t size = std::strtoul(argv[4], nullptr, 10);
    return what == "fill-mailbox" ? FillMailbox(argv[2], count, size)
                                  : FillMaildir(argv[2], count, size);
  }
  if (what == "write-mailbox" && argc == 6) {
    return WriteMailbox(argv[2], std::atol(argv[3]), std::atol(argv[4]),
                        std::strtoul(argv[5], nullptr, 10));
  }
  if (what == "pop3" && argc == 5) return Pop3(std::atoi(argv[2]), argv[3], argv[4]);
  std::fprintf(stderr,
               "usage: compare_tool fill-mailbox|fill-maildir DIR COUNT SIZE\n"
               "       compare_tool write-mailbox DIR FIRST COUNT SIZE\n"
               "       compare_tool pop3 PORT USER PASSWORD\n");
  return 2;
}
