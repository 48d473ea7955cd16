// Feeds the lines of the input, one command each, to a session on a small temporary system (a
// user table with two users, a mailbox of three messages). The first byte chooses whether the
// session logs on first. Every message a command hands out is run through the transfer.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "pop3/message.h"
#include "pop3/session.h"

namespace {

using namespace qv;
using namespace qv::pop3;

class FuzzSystem {
 public:
  FuzzSystem() {
    char pattern[] = "/tmp/qvpop3fuzz.XXXXXX";
    root_ = mkdtemp(pattern);
    setenv("QUORVANE_SYSTEM", root_.c_str(), 1);
    CopyField(settings_.system.HostName, "mail.example.test");
    CopyField(settings_.system.Domain, "example.test");
    CopyField(settings_.system.MailPath, root_ + "/mail");
    CopyField(settings_.system.TempPath, root_ + "/temp");
    CopyField(settings_.system.LogPath, root_ + "/log");
    CopyField(settings_.system.ConfigPath, root_ + "/config");
    for (const char* dir : {"/mail", "/temp", "/log", "/config"})
      std::filesystem::create_directories(root_ + dir);
    AddUser("ann", "pw");
    AddUser("bob", "");
  }
  ~FuzzSystem() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  // Puts the password and the three messages back when commands changed them.
  void Refill() {
    USERSTRUCT user{};
    if (FindRecord(settings_.system, "ann", "", &user) == 0 &&
        std::strcmp(user.Password, "pw") != 0) {
      CopyField(user.Password, "pw");
      UpdateRecord(settings_.system, user, false);
    }
    std::string box = root_ + "/mail/ann";
    std::error_code ec;
    size_t count = 0;
    for (auto it = std::filesystem::directory_iterator(box, ec);
         !ec && it != std::filesystem::directory_iterator(); ++it)
      ++count;
    if (count >= 3) return;
    std::filesystem::remove_all(box, ec);
    WriteMessageFile(box, kMailboxExtension,
                     "Subject: a\r\nFrom: x@y\r\n\r\nline 1\r\n.\r\nline 3");
    WriteMessageFile(box, kMailboxExtension, std::string("H: 1\r\n\r\n\0tail", 14));
    WriteMessageFile(box, kMailboxExtension, "");
  }

  const Settings& settings() const { return settings_; }

 private:
  void AddUser(const char* alias, const char* password) {
    USERSTRUCT user{};
    CopyField(user.Alias, alias);
    CopyField(user.Password, password);
    AddRecord(settings_.system, &user);
  }
  std::string root_;
  Settings settings_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzSystem system;
  system.Refill();
  std::string_view input(reinterpret_cast<const char*>(data), size);
  Pop3Session session(system.settings(), "127.0.0.1");
  Pop3Reply reply;
  if (!input.empty() && (input[0] & 1) != 0) {
    DispatchPop3Command(&session, "USER ann\r\n", 10, &reply);
    DispatchPop3Command(&session, "PASS pw\r\n", 9, &reply);
    input.remove_prefix(1);
  }
  while (!input.empty() && session.state() != Pop3State::kClosing) {
    size_t end = input.find('\n');
    std::string_view line = input.substr(0, end == std::string_view::npos ? input.size() : end + 1);
    input.remove_prefix(line.size());
    int result = DispatchPop3Command(&session, line.data(), line.size(), &reply);
    if (result < kResultError || result > kResultTop || reply.text.size() < 3) abort();
    if ((result == kResultError) != (reply.text.compare(0, 4, "-ERR") == 0)) abort();
    if (result == kResultMessage || result == kResultTop) {
      if (!reply.file.valid()) abort();
      int64_t limit =
          result == kResultTop ? ComputeTopLimit(reply.file.get(), reply.top_lines, true) : -1;
      MessageTransfer transfer(std::move(reply.file), limit, true);
      std::string piece, wire;
      while (transfer.Next(&piece)) wire += piece;
      if (wire.size() < 5 || wire.compare(wire.size() - 5, 5, "\r\n.\r\n") != 0) abort();
    }
  }
  return 0;
}
