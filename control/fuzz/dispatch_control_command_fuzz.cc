// Feeds the lines of the input to a logged-in control session on a small temporary system (a
// user table with an administrator, a list with a member file). The host around the session
// does nothing, so SAVE and the service commands touch neither the registry nor processes.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "control/control_session.h"

namespace {

using namespace qv;
using namespace qv::control;

class QuietHost : public ControlHost {
 public:
  Settings CurrentSettings() override { return settings; }
  Result<Settings> SaveChanges(const Settings& mine, const SettingChanges&) override {
    return mine;
  }
  Settings ReloadedSettings(const Settings& settings) override { return settings; }
  int ServiceCommand(int, int) override { return 1; }
  void SyncMailboxDirectories() override {}
  OptionsExtras Extras() override { return {}; }
  void SetExtras(const OptionsExtras&) override {}
  std::vector<std::string> PhoneBookEntries() override { return {"Office"}; }
  Settings settings;
};

class FuzzSystem {
 public:
  FuzzSystem() {
    char pattern[] = "/tmp/qvctrlfuzz.XXXXXX";
    root_ = mkdtemp(pattern);
    setenv("QUORVANE_SYSTEM", root_.c_str(), 1);
    // Member files named without a folder land here, not wherever the replay was started.
    if (chdir(root_.c_str()) != 0) abort();
    CopyField(process_.system.Domain, "example.test");
    CopyField(process_.system.MailPath, root_ + "/mail");
    CopyField(process_.system.LogPath, root_ + "/log");
    CopyField(process_.system.ConfigPath, root_ + "/config");
    for (const char* dir : {"/mail", "/log", "/config"})
      std::filesystem::create_directories(root_ + dir);
    host_.settings.system = process_.system;
    Reset();
  }
  ~FuzzSystem() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  // Starts the tables afresh once commands have grown them.
  void Reset() {
    std::error_code ec;
    std::filesystem::remove_all(root_ + "/config", ec);
    std::filesystem::create_directories(root_ + "/config");
    USERSTRUCT admin{};
    CopyField(admin.Alias, "admin");
    CopyField(admin.Domain, "example.test");
    admin.Options = kUserAdmin;
    AddRecord(process_.system, &admin);
    LISTSTRUCT list{};
    CopyField(list.Name, "team");
    CopyField(list.Domain, "example.test");
    CopyField(list.FileName, root_ + "/config/team.mls");
    AddRecord(process_.system, &list);
  }

  bool Grown() const {
    std::error_code ec;
    auto size = std::filesystem::file_size(root_ + "/config/user.dat", ec);
    return !ec && size > 200000;
  }

  ControlHost& host() { return host_; }
  const Settings& process() const { return process_; }

 private:
  std::string root_;
  Settings process_;
  QuietHost host_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzSystem system;
  if (system.Grown()) system.Reset();
  ControlSession session(system.process(), system.host(), "127.0.0.1");
  SessionReply reply;
  DispatchControlCommand(&session, "admin@example.test\r\n", 20, &reply);
  DispatchControlCommand(&session, "any\r\n", 5, &reply);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    size_t end = input.find('\n');
    std::string line(input.substr(0, end));
    DispatchControlCommand(&session, line.data(), line.size(), &reply);
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  DispatchControlCommand(nullptr, nullptr, 0, &reply);
  return 0;
}
