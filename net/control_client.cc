#include "net/control_client.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "common/strings.h"

namespace qv {

namespace {

constexpr std::string_view kUserPrompt = "Username: ";
constexpr std::string_view kPasswordPrompt = "Password: ";
constexpr std::string_view kPromptEnd = "\r\n>";
constexpr std::string_view kLoginOk = "Login OK";
constexpr std::string_view kNoPermission = "You have no permissions";
constexpr std::string_view kInvalidUser = "Invalid user name";
constexpr std::string_view kClosing = "closing connection\r\n";
// A stream reply is followed by this command, whose reply marks its end.
constexpr std::string_view kSentinel = "NOOP";

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// Where the first prompt-ended reply of the text ends: after a ">" that begins it (the reply
// of a stream write) or after the first line ">"; npos when none is there yet.
size_t PromptEnd(std::string_view text) {
  if (!text.empty() && text[0] == '>') return 1;
  size_t at = text.find(kPromptEnd);
  return at == std::string_view::npos ? at : at + kPromptEnd.size();
}

}  // namespace

const char* ControlLoginText(ControlLogin result) {
  switch (result) {
    case ControlLogin::kOk:
      return "logged in";
    case ControlLogin::kUnknownHost:
      return "the host name is unknown";
    case ControlLogin::kSocketError:
      return "no socket could be made";
    case ControlLogin::kConnectFailed:
      return "cannot connect to the control service";
    case ControlLogin::kNoGreeting:
      return "the control service sent no greeting";
    case ControlLogin::kUnknownUser:
      return "invalid user name";
    case ControlLogin::kNoPermission:
      return "the user has no permission to configure the server";
    case ControlLogin::kBadPassword:
      return "invalid password";
    case ControlLogin::kBroken:
      return "the connection failed during the login";
    case ControlLogin::kTlsFailed:
      return "the TLS handshake failed";
    case ControlLogin::kUntrusted:
      return "the server's certificate is not trusted";
  }
  return "";
}

bool IsControlFailure(std::string_view reply) {
  while (!reply.empty() && (reply.back() == '>' || reply.back() == '\r' || reply.back() == '\n'))
    reply.remove_suffix(1);
  return StartsWithNoCase(reply, "Cannot") || StartsWithNoCase(reply, "Invalid") ||
         StartsWithNoCase(reply, "Syntax Error") || EndsWith(reply, "unknown !");
}

ControlClient::ControlClient(int cancel_fd, int timeout_ms)
    : client_(cancel_fd), cancel_fd_(cancel_fd), timeout_ms_(timeout_ms) {}

size_t ControlClient::RecordSeparators(std::string_view word) {
  struct Count {
    const char* word;
    size_t separators;
  } counts[] = {{"USER", 11}, {"LIST", 9},    {"ROUTE", 3},   {"EXEC", 7},
                {"AUTO", 5},  {"ACCOUNT", 7}, {"OPTIONS", 43}};
  for (const Count& c : counts)
    if (EqualsNoCase(word, c.word)) return c.separators;
  return 0;
}

bool ControlClient::SendLine(std::string_view line) {
  if (!tls_) return client_.SendLine(line, timeout_ms_);
  std::string data(line);
  data += "\r\n";
  if (channel_.Write(data, timeout_ms_)) return true;
  Close();
  return false;
}

template <class Done>
Result<std::string> ControlClient::ReadReply(Done done) {
  std::string reply;
  reply.swap(pending_);
  size_t taken = 0;
  for (;;) {
    if (done(reply, &taken)) {
      pending_ = reply.substr(taken);
      reply.resize(taken);
      return reply;
    }
    if (reply.size() > kLineClientMaxRead) {
      Close();
      return Fail("the reply is too long");
    }
    char buffer[4096];
    ssize_t n = 0;
    if (tls_) {
      // The channel waits itself: OpenSSL may hold decrypted bytes the socket no longer shows.
      n = channel_.Read(buffer, sizeof buffer, timeout_ms_);
      if (n < 0) {
        std::string why = channel_.error();
        Close();
        return Fail(why == "cancelled" ? why : "no reply from the control service: " + why);
      }
    } else {
      pollfd fds[2] = {{client_.fd(), POLLIN, 0}, {cancel_fd_, POLLIN, 0}};
      int r = ::poll(fds, cancel_fd_ >= 0 ? 2 : 1, timeout_ms_);
      if (r < 0 && errno == EINTR) continue;
      if (r == 0) {
        Close();
        return Fail("no reply from the control service");
      }
      if (r < 0 || (cancel_fd_ >= 0 && fds[1].revents != 0)) {
        Close();
        return Fail("cancelled");
      }
      n = ::recv(client_.fd(), buffer, sizeof buffer, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    }
    if (n <= 0) {
      // A reply that ends with the connection (QUIT) is whole when the peer closes.
      size_t whole = reply.size();
      Close();
      if (done(reply, &whole) || (n == 0 && EndsWith(reply, kClosing))) {
        reply.resize(whole);
        return reply;
      }
      return Fail("the control service closed the connection");
    }
    reply.append(buffer, static_cast<size_t>(n));
    // A stream reply and the NOOP prompt behind it come as two writes, and the service holds
    // the second back until the first is acknowledged: acknowledge at once instead of after
    // the delayed-acknowledgement pause, which would cost that pause on every stream request.
    int one = 1;
    ::setsockopt(client_.fd(), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
}

ControlLogin ControlClient::Login(const std::string& host, uint16_t port, std::string_view user,
                                  std::string_view password) {
  pending_.clear();
  switch (client_.Open(host, port)) {
    case ConnectResult::kConnected:
      break;
    case ConnectResult::kUnknownHost:
      return ControlLogin::kUnknownHost;
    case ConnectResult::kConnectFailed:
      Close();
      return ControlLogin::kSocketError;
  }
  if (client_.Connect(timeout_ms_) != ConnectResult::kConnected) {
    Close();
    return ControlLogin::kConnectFailed;
  }
  if (tls_) {
    TlsChannel::Outcome shaken =
        channel_.Handshake(client_.fd(), host, trust_, cancel_fd_, timeout_ms_);
    if (shaken != TlsChannel::Outcome::kOk) {
      // The channel keeps its error and the fingerprint for the caller.
      client_.Close();
      return shaken == TlsChannel::Outcome::kUntrusted ? ControlLogin::kUntrusted
                                                       : ControlLogin::kTlsFailed;
    }
  }
  auto until_prompt = [](const std::string& text, size_t* taken) {
    size_t first = std::string::npos;
    for (std::string_view prompt : {kUserPrompt, kPasswordPrompt, kPromptEnd}) {
      size_t at = text.find(prompt);
      if (at != std::string::npos) first = std::min(first, at + prompt.size());
    }
    if (first == std::string::npos) return false;
    *taken = first;
    return true;
  };
  Result<std::string> greeting = ReadReply(until_prompt);
  if (!greeting || !EndsWith(*greeting, kUserPrompt)) {
    Close();
    return ControlLogin::kNoGreeting;
  }
  if (!SendLine(user)) return ControlLogin::kBroken;
  Result<std::string> asked = ReadReply(until_prompt);
  if (!asked) return ControlLogin::kBroken;
  if (!EndsWith(*asked, kPasswordPrompt)) {
    Close();
    return ControlLogin::kUnknownUser;
  }
  if (!SendLine(password)) return ControlLogin::kBroken;
  Result<std::string> outcome = ReadReply(until_prompt);
  if (!outcome) return ControlLogin::kBroken;
  if (outcome->rfind(kLoginOk, 0) == 0 && EndsWith(*outcome, kPromptEnd)) return ControlLogin::kOk;
  Close();
  if (outcome->rfind(kNoPermission, 0) == 0) return ControlLogin::kNoPermission;
  if (outcome->rfind(kInvalidUser, 0) == 0) return ControlLogin::kUnknownUser;
  // "Invalid password", or a refusal in words of another version.
  return ControlLogin::kBadPassword;
}

Result<std::string> ControlClient::Command(std::string_view line) {
  if (!SendLine(line)) return Fail("cannot send to the control service");
  Result<std::string> reply = ReadReply([](const std::string& text, size_t* taken) {
    size_t end = PromptEnd(text);
    if (end == std::string::npos) return false;
    *taken = end;
    return true;
  });
  if (!reply) return reply;
  std::string text = std::move(reply).value();
  text.pop_back();  // the prompt
  return text;
}

Result<std::string> ControlClient::Quit(std::string_view line) {
  if (!SendLine(line)) return Fail("cannot send to the control service");
  Result<std::string> reply = ReadReply([](const std::string& text, size_t* taken) {
    size_t at = text.find(kClosing);
    if (at == std::string::npos) return false;
    *taken = at + kClosing.size();
    return true;
  });
  Close();
  return reply;
}

Result<std::string> ControlClient::Record(std::string_view line, size_t separators) {
  if (!SendLine(line)) return Fail("cannot send to the control service");
  return ReadReply([separators](const std::string& text, size_t* taken) {
    size_t seen = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '|' && ++seen == separators) {
        *taken = i + 1;
        return true;
      }
    }
    return false;
  });
}

Result<std::string> ControlClient::Stream(std::string_view line) {
  std::string both(line);
  both += "\r\n";
  both += kSentinel;
  if (!SendLine(both)) return Fail("cannot send to the control service");
  Result<std::string> reply = ReadReply([](const std::string& text, size_t* taken) {
    size_t at = text.find(kPromptEnd);
    if (at == std::string::npos) return false;
    *taken = at + kPromptEnd.size();
    return true;
  });
  if (!reply) return reply;
  std::string text = std::move(reply).value();
  text.resize(text.size() - kPromptEnd.size());
  return text;
}

}  // namespace qv
