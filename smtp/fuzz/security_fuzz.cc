// The session around the TLS and AUTH transitions, over hostile command lines on temporary
// tables. The first byte chooses what the connection allows (STARTTLS offered, already in TLS,
// a submission listener, relay networks set); the rest is lines separated by LF, where a line
// of the single byte 0x01 stands for the end of the handshake after a STARTTLS reply. Checked:
// every reply is a known kind ending in CR LF; STARTTLS is accepted only when offered and not
// in TLS; AUTH succeeds only inside TLS; MAIL is never accepted right after the handshake; and
// the relay-network parser takes any text.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/config.h"
#include "common/records.h"
#include "common/tables.h"
#include "platform/text.h"
#include "smtp/fuzz/fuzz_root.h"
#include "smtp/relay_networks.h"
#include "smtp/session.h"

namespace {

std::string g_root;
qv::Settings g_settings;

void Prepare() {
  qv::smtp::fuzz::PrepareFuzzRoot(g_settings);
  g_root = qv::smtp::fuzz::FuzzRoot();
  qv::CopyField(g_settings.system.Domain, "example.test");
  qv::CopyField(g_settings.system.HostName, "mx.example.test");
  g_settings.smtp.Flags = qv::kSmtpEsmtp;
  qv::USERSTRUCT user{};
  qv::CopyField(user.Alias, "bob");
  qv::CopyField(user.Domain, "example.test");
  qv::CopyField(user.Password, "secret");
  qv::AddRecord(g_settings.system, &user);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_root.empty()) Prepare();
  if (size == 0) return 0;
  qv::smtp::SmtpSecurity security{.tls_offered = (data[0] & 1) != 0,
                                  .secure = (data[0] & 2) != 0,
                                  .submission = (data[0] & 4) != 0};
  qv::CopyField(g_settings.smtp.RelayNetworks, data[0] & 8 ? "127.0.0.0/8 198.51.100.0/30" : "");
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  qv::smtp::InRelayNetworks(input.substr(0, input.find('\n')), input);

  qv::smtp::SmtpSession session(g_settings, "198.51.100.7");
  session.SetSecurity(security);
  bool switching = false;  // STARTTLS was answered; the handshake may end
  bool fresh = false;      // the handshake ended and no EHLO or HELO followed
  while (!input.empty()) {
    size_t end = input.find('\n');
    std::string_view line = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    if (line == "\x01") {
      if (switching) {
        session.TlsStarted();
        switching = false;
        fresh = true;
      }
      continue;
    }
    if (switching) continue;  // nothing is read between the reply and the handshake
    bool secure = session.security().secure;
    bool offered = session.security().tls_offered && !secure;
    qv::smtp::Reply reply = session.DispatchCommand(line);
    switch (reply.code) {
      case qv::smtp::kErrorReply:
      case qv::smtp::kPositiveReply:
      case qv::smtp::kStartData:
      case qv::smtp::kAuthAnswer:
        break;
      case qv::smtp::kStartTls:
        if (!offered) std::abort();
        switching = true;
        break;
      default:
        std::abort();
    }
    if (reply.text.size() < 5 || reply.text.compare(reply.text.size() - 2, 2, "\r\n") != 0)
      std::abort();
    if (session.authenticated() && !session.security().secure) std::abort();
    std::string_view verb = line.substr(0, 4);
    if (fresh && reply.text.compare(0, 4, "250 ") == 0 && qv::EqualsNoCase(verb, "MAIL"))
      std::abort();
    if (qv::EqualsNoCase(verb, "EHLO") || qv::EqualsNoCase(verb, "HELO")) fresh = false;
    if (reply.code == qv::smtp::kStartData) session.MarkMessageReceived();
  }
  return 0;
}
