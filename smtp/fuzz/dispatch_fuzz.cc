// DispatchCommand over hostile command lines, with a session on temporary tables. The first byte
// chooses the SMTP options; the rest is lines separated by LF. Checked: every reply is a known
// kind ending in CR LF, the state stays one of the five, and a transaction never holds more
// than the recipient limit.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "smtp/fuzz/fuzz_root.h"
#include "smtp/session.h"

namespace {

std::string g_root;
// The settings every session of the run sees.
qv::Settings g_settings;

void Prepare() {
  qv::smtp::fuzz::PrepareFuzzRoot(g_settings);
  g_root = qv::smtp::fuzz::FuzzRoot();
  qv::CopyField(g_settings.system.Domain, "example.test;other.test");
  qv::CopyField(g_settings.system.HostName, "mx.example.test");
  qv::CopyField(g_settings.net.Address, "192.0.2.1");
  qv::USERSTRUCT user{};
  qv::CopyField(user.Alias, "bob");
  qv::CopyField(user.Domain, "example.test");
  qv::AddRecord(g_settings.system, &user);
  qv::USERSTRUCT remote{};
  qv::CopyField(remote.Alias, "dave");
  qv::CopyField(remote.Domain, "*");
  qv::CopyField(remote.Mailbox, "dave@far.test");
  qv::CopyField(remote.CopyIncoming, "bob@example.test x@y.test");
  remote.Options = qv::kUserRemote;
  qv::AddRecord(g_settings.system, &remote);
  qv::LISTSTRUCT list{};
  qv::CopyField(list.Name, "staff");
  qv::CopyField(list.Domain, "example.test");
  qv::CopyField(list.FileName, g_root + "/staff.mbr");
  list.Options = qv::kListOwnerSends;
  qv::AddRecord(g_settings.system, &list);
  qv::ROUTESTRUCT route{};
  qv::CopyField(route.Masks, "*@legacy.test;*@r*.test");
  route.Type = qv::kRouteToHost;
  qv::CopyField(route.Destination, "mx.example.test");
  qv::AddRecord(g_settings.system, &route);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_root.empty()) Prepare();
  if (size == 0) return 0;
  // Every option except the notice, which would write a file per unknown recipient.
  g_settings.smtp.Flags = (static_cast<uint32_t>(data[0]) << 7) & ~qv::kSmtpNotifyUnknown;
  g_settings.smtp.ESMTPMaxMsgSize = data[0] & 1 ? 5000 : -1;
  qv::CopyField(g_settings.smtp.ForwardUnknown, data[0] & 2 ? "bob@example.test;far@x.test" : "");

  qv::smtp::SmtpSession session(g_settings, "198.51.100.7");
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  while (!input.empty()) {
    size_t end = input.find('\n');
    std::string_view line = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    qv::smtp::Reply reply = session.DispatchCommand(line);
    if (reply.code != qv::smtp::kErrorReply && reply.code != qv::smtp::kPositiveReply &&
        reply.code != qv::smtp::kStartData)
      std::abort();
    if (reply.text.size() < 6 || reply.text.compare(reply.text.size() - 2, 2, "\r\n") != 0)
      std::abort();
    if (static_cast<uint32_t>(session.state()) > 4) std::abort();
    if (session.recipient_entries() > qv::smtp::kMaxRecipientEntries) std::abort();
    if (reply.code == qv::smtp::kStartData) session.MarkMessageReceived();
  }
  return 0;
}
