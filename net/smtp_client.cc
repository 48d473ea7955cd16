#include "net/smtp_client.h"

#include <cctype>

namespace qv {

namespace {

bool IsContinuation(std::string_view line) {
  return line.size() >= 4 && line[3] == '-' && std::isdigit(static_cast<unsigned char>(line[0])) &&
         std::isdigit(static_cast<unsigned char>(line[1])) &&
         std::isdigit(static_cast<unsigned char>(line[2]));
}

}  // namespace

bool ReplyStartsWith(std::string_view reply, std::string_view code) {
  return reply.substr(0, code.size()) == code;
}

std::string SmtpClient::ReadReply(int timeout_ms) {
  return line_.ReadUntil([](std::string_view line) { return !IsContinuation(line); }, timeout_ms);
}

}  // namespace qv
