#include "net/smtp_client.h"

#include <cctype>

#include "common/strings.h"
#include "net/dns.h"

namespace qv {

namespace {

constexpr char kEndAtLineStart[] = ".\r\n";
constexpr char kEndAfterText[] = "\r\n.\r\n";

}  // namespace

bool IsReplyContinuation(std::string_view line) {
  return line.size() >= 4 && line[3] == '-' && std::isdigit(static_cast<unsigned char>(line[0])) &&
         std::isdigit(static_cast<unsigned char>(line[1])) &&
         std::isdigit(static_cast<unsigned char>(line[2]));
}

std::vector<std::string> ExchangeHostList(std::string_view exchange_hosts) {
  std::vector<std::string> hosts;
  size_t i = 0;
  while (i < exchange_hosts.size()) {
    size_t j = exchange_hosts.find_first_of("; ,\t", i);
    if (j == std::string_view::npos) j = exchange_hosts.size();
    if (j > i) hosts.emplace_back(exchange_hosts.substr(i, j - i));
    i = j + 1;
  }
  return hosts;
}

bool IsExchangeHost(const std::string& host, std::string_view exchange_hosts) {
  constexpr uint16_t kAnyPort = 25;
  std::string name, other;
  uint16_t port = 0;
  if (!SplitHostPort(host, kAnyPort, &name, &port)) return false;
  for (const std::string& item : ExchangeHostList(exchange_hosts)) {
    if (SplitHostPort(item, kAnyPort, &other, &port) && EqualsNoCase(name, other)) return true;
  }
  return false;
}

std::string_view MessageText::Encode(std::string_view piece) {
  if (piece.empty()) return piece;
  // A line starts after CR LF, and the text starts with one; the CR may end the piece before.
  auto at_line_start = [&](size_t i) {
    if (i == 0) return at_line_start_;
    if (piece[i - 1] != '\n') return false;
    return i >= 2 ? piece[i - 2] == '\r' : last_is_cr_;
  };
  std::string_view out = piece;
  if (stuff_dots_) {
    copy_.clear();
    size_t from = 0;
    for (size_t i = 0; i < piece.size(); ++i) {
      if (piece[i] == '.' && at_line_start(i)) {
        copy_.append(piece.substr(from, i - from));
        copy_.push_back('.');
        from = i;
      }
    }
    if (!copy_.empty()) {
      copy_.append(piece.substr(from));
      out = copy_;
    }
  }
  at_line_start_ = at_line_start(piece.size());
  last_is_cr_ = piece.back() == '\r';
  return out;
}

std::string_view MessageText::EndLine() const {
  return at_line_start_ ? kEndAtLineStart : kEndAfterText;
}

std::string SmtpClient::ReadReply(int timeout_ms) {
  return line_.ReadUntil([](std::string_view line) { return !IsReplyContinuation(line); },
                         timeout_ms);
}

}  // namespace qv
