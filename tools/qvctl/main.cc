// qvctl: a command-line client of the control service.
//   qvctl [-h host] [-p port] [-u user] [--tls [--fingerprint HEX | --cafile FILE]] [command ...]
// Logs in (the password is asked on the terminal without echo; when standard input is not a
// terminal its first line is the password), then runs the command given on the command line,
// or else every line of standard input, and prints each reply without the prompt. With --tls
// the connection is made to the implicit-TLS control port, the server's certificate pinned by its
// SHA-256 fingerprint, or checked with the host name against the given CA file or the system's
// store; nothing is sent to a server that is not trusted.
// Exit codes: 0 every command succeeded, 1 a reply reported a failure, 2 no connection or the
// login failed, 64 wrong usage.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/strings.h"
#include "common/tool_frame.h"
#include "net/control_client.h"

namespace {

using qv::tool::kExitOk;
constexpr int kExitFailedReply = 1;
constexpr int kExitNoLogin = 2;
constexpr int kExitUsage = 64;

constexpr char kDefaultHost[] = "127.0.0.1";

constexpr qv::tool::AdminTool kTool = {
    "qvctl",
    "usage: qvctl [-h host] [-p port] [-u user] [--tls [--fingerprint HEX | --cafile FILE]]\n"
    "             [command ...]\n"
    "  Without a command, the commands are read from standard input, one a line.\n"
    "  The password is asked without echo, or is the first line of standard input\n"
    "  when that is not a terminal. Host, port and user default to the RemoteServer,\n"
    "  Port and RemoteLogin settings.\n"
    "  --tls connects to the TLS control port (the TlsControlPort setting unless -p is\n"
    "  given) and trusts the server's certificate when its SHA-256 fingerprint is HEX,\n"
    "  when FILE holds it or its CA, or else when the system's CA store does.\n",
    kExitUsage};

// The password typed on the terminal, without echo.
bool AskPassword(std::string* password) {
  std::FILE* tty = std::fopen("/dev/tty", "r+");
  if (tty == nullptr) return false;
  std::fputs("Password: ", tty);
  std::fflush(tty);
  termios old{};
  bool quiet = tcgetattr(fileno(tty), &old) == 0;
  if (quiet) {
    termios silent = old;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fileno(tty), TCSAFLUSH, &silent);
  }
  char buffer[256];
  bool ok = std::fgets(buffer, sizeof buffer, tty) != nullptr;
  if (quiet) tcsetattr(fileno(tty), TCSAFLUSH, &old);
  std::fputs("\n", tty);
  std::fclose(tty);
  if (!ok) return false;
  *password = buffer;
  while (!password->empty() && (password->back() == '\n' || password->back() == '\r'))
    password->pop_back();
  return true;
}

// A reply as the terminal shows it: line feeds only, one closing line end dropped.
void Print(std::string text) {
  if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
    text.resize(text.size() - 2);
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  if (!out.empty()) std::cout << out << '\n';
}

// Runs one command; false when its reply reports a failure or the connection failed.
bool Run(qv::ControlClient& client, const std::string& line, bool* connection_lost) {
  qv::Result<std::string> reply = qv::Fail("");
  bool stream = qv::StartsWithNoCase(line, "GETSTREAM") || qv::StartsWithNoCase(line, "PUTSTREAM");
  bool quit = qv::StartsWithNoCase(line, "QUIT") || qv::StartsWithNoCase(line, "EXIT");
  if (stream)
    reply = client.Stream(line);
  else if (quit)
    reply = client.Quit(line);
  else
    reply = client.Command(line);
  if (!reply) {
    kTool.Complain(reply.error());
    *connection_lost = true;
    return false;
  }
  if (stream) {
    std::cout << *reply << '\n';
    return true;
  }
  Print(*reply);
  return !qv::IsControlFailure(*reply);
}

}  // namespace

int main(int argc, char** argv) {
  qv::Settings settings;
  qv::LoadSystemConfig(settings);
  std::string host = settings.system.RemoteServer;
  if (host.empty()) host = kDefaultHost;
  long port = settings.system.Port;
  std::string user = settings.system.RemoteLogin;
  bool tls = false;
  bool port_given = false;
  qv::TlsTrust trust;

  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    std::string option = argv[i];
    if (option == "--") {
      ++i;
      break;
    }
    if (option == "--help") return kTool.Usage(nullptr);
    if (option == "--tls") {
      tls = true;
      continue;
    }
    if (i + 1 >= argc) return kTool.Usage("missing value after " + option);
    const char* value = argv[++i];
    if (option == "-h") {
      host = value;
    } else if (option == "-p") {
      char* end = nullptr;
      port = std::strtol(value, &end, 10);
      if (*end != '\0' || port <= 0 || port > 65535) return kTool.Usage("bad port");
      port_given = true;
    } else if (option == "--fingerprint") {
      trust.fingerprint = qv::NormalFingerprint(value);
      if (trust.fingerprint.empty()) return kTool.Usage("bad SHA-256 fingerprint");
    } else if (option == "--cafile") {
      trust.ca_file = value;
    } else if (option == "-u") {
      user = value;
    } else {
      return kTool.Usage("unknown option " + option);
    }
  }
  if (user.empty()) return kTool.Usage("no user: give -u or set RemoteLogin");
  if (!tls && (!trust.fingerprint.empty() || !trust.ca_file.empty()))
    return kTool.Usage("--fingerprint and --cafile need --tls");
  if (!trust.fingerprint.empty() && !trust.ca_file.empty())
    return kTool.Usage("give --fingerprint or --cafile, not both");
  if (tls && !port_given) port = settings.system.TlsControlPort;
  if (port <= 0 || port > 65535) return kTool.Usage("bad port");
  std::string command;
  for (; i < argc; ++i) {
    if (!command.empty()) command += ' ';
    command += argv[i];
  }

  std::string password;
  if (isatty(STDIN_FILENO)) {
    if (!AskPassword(&password)) return kTool.Usage("cannot ask for the password");
  } else if (std::getline(std::cin, password)) {
    while (!password.empty() && password.back() == '\r') password.pop_back();
  }

  qv::ControlClient client;
  if (tls) client.UseTls(trust);
  qv::ControlLogin login = client.Login(host, static_cast<uint16_t>(port), user, password);
  if (login != qv::ControlLogin::kOk) {
    bool tls_failure =
        login == qv::ControlLogin::kTlsFailed || login == qv::ControlLogin::kUntrusted;
    kTool.Complain(
        qv::Format("%s:%ld: %s", host.c_str(), port,
                   tls_failure ? client.tls_error().c_str() : qv::ControlLoginText(login)));
    return kExitNoLogin;
  }

  bool all_ok = true;
  bool lost = false;
  if (!command.empty()) {
    all_ok = Run(client, command, &lost);
  } else {
    std::string line;
    while (!lost && client.connected() && std::getline(std::cin, line)) {
      while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
      if (line.empty()) continue;
      if (!Run(client, line, &lost)) all_ok = false;
    }
  }
  std::cout.flush();
  if (lost) return kExitNoLogin;
  return all_ok ? kExitOk : kExitFailedReply;
}
