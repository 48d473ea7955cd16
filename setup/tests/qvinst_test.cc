// libqvinst.so as an installation program uses it: opened with dlopen, every function bound by
// its export name.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/test_env.h"
#include "platform/presence.h"
#include "platform/registry.h"
#include "platform/svcmgr.h"

namespace qv::setup {
namespace {

using qv::testing::ReadFileText;
using qv::testing::WriteFileText;

const char* const kExports[] = {"_GetOsVersion",   "_DetectTCP",       "_CreateSystemKey",
                                "_HandleService",  "_CreateDataIndex", "_CreateDemoUser",
                                "_ListCountItems", "_ListFocusItem",   "_LBClearAllSel",
                                "_SetDialogTitle", "_ShowDlgHelp",     "_DestroyHelp"};

class Library {
 public:
  Library() : handle_(dlopen((qv::testing::BinDir() + "/libqvinst.so").c_str(), RTLD_NOW)) {}
  ~Library() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  bool loaded() const { return handle_ != nullptr; }
  template <typename F>
  F* Get(const char* name) {
    return reinterpret_cast<F*>(dlsym(handle_, name));
  }

 private:
  void* handle_;
};

// The index file's entries as "key=offset" words.
std::string IndexText(const std::string& path) {
  std::string bytes = ReadFileText(path);
  std::string out;
  for (size_t at = 0; at + sizeof(IndexEntry) <= bytes.size(); at += sizeof(IndexEntry)) {
    IndexEntry e;
    std::memcpy(&e, bytes.data() + at, sizeof e);
    if (!out.empty()) out += ' ';
    out += std::string(e.Key, strnlen(e.Key, sizeof e.Key)) + "=" + std::to_string(e.Offset);
  }
  if (bytes.size() % sizeof(IndexEntry) != 0) out += " +torn";
  return out;
}

class QvinstTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.loaded()) << dlerror();
    setenv("QUORVANE_SERVICES", "presence", 1);
  }
  void TearDown() override { unsetenv("QUORVANE_SERVICES"); }
  Library lib_;
  qv::testing::ScopedSystemRoot root_;
  qv::testing::TempDir dir_;
};

TEST_F(QvinstTest, ExportsExactlyTheTwelveNamesWithCLinkage) {
  for (const char* name : kExports) EXPECT_NE(lib_.Get<void>(name), nullptr) << name;
  // Nothing else of the library is visible: the defined dynamic symbols are the twelve.
  qv::testing::RunResult nm = qv::testing::RunProgram(
      "/usr/bin/nm", {"-D", "--defined-only", qv::testing::BinDir() + "/libqvinst.so"});
  ASSERT_EQ(nm.code, 0) << nm.err;
  std::set<std::string> defined;
  std::istringstream lines(nm.out);
  std::string address, type, name;
  while (lines >> address >> type >> name)
    if (type == "T" || type == "D" || type == "B" || type == "W" || type == "V")
      defined.insert(name);
  EXPECT_EQ(defined, std::set<std::string>(std::begin(kExports), std::end(kExports)));
}

TEST_F(QvinstTest, OsVersionFollowsTheServiceMode) {
  auto get = lib_.Get<int(char*)>("_GetOsVersion");
  char text[16];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(get(text), 1);
  EXPECT_STREQ(text, "WIN95");
  setenv("QUORVANE_SERVICES", "systemd", 1);
  EXPECT_EQ(get(text), 2);
  EXPECT_STREQ(text, "WINNT40");
  EXPECT_EQ(get(nullptr), 2);
  EXPECT_EQ(lib_.Get<int()>("_DetectTCP")(), 1);
}

TEST_F(QvinstTest, CreateSystemKeyMakesTheKey) {
  auto create = lib_.Get<int(const char*)>("_CreateSystemKey");
  EXPECT_EQ(create(kSmtpKey), 1);
  EXPECT_EQ(create(kSmtpKey), 1);  // opening an existing key is fine
  reg::Key key;
  EXPECT_EQ(reg::OpenKey(kSmtpKey, &key), reg::kSuccess);
  EXPECT_EQ(create(""), 0);
  EXPECT_EQ(create(nullptr), 0);
}

TEST_F(QvinstTest, CreateDataIndexResultsAndPositions) {
  auto insert = lib_.Get<int(const char*, int32_t, const char*)>("_CreateDataIndex");
  std::string idx = dir_.Sub("TABLE.IDX");
  // A missing file is created with the entry: 1.
  EXPECT_EQ(insert("mmm", 7, idx.c_str()), 1);
  EXPECT_EQ(IndexText(idx), "mmm=7");
  // Among existing entries: 1, at the sorted place, without regard to case.
  EXPECT_EQ(insert("DDD", 1, idx.c_str()), 1);
  EXPECT_EQ(insert("zzz", 2, idx.c_str()), 1);  // after the last: appended
  EXPECT_EQ(insert("aaa", 3, idx.c_str()), 1);  // before all: everything moves
  EXPECT_EQ(insert("Mmm", 4, idx.c_str()), 1);  // an equal key goes before its twin
  EXPECT_EQ(insert("ppp", 5, idx.c_str()), 1);
  EXPECT_EQ(IndexText(idx), "aaa=3 DDD=1 Mmm=4 mmm=7 ppp=5 zzz=2");
  // Keys are cut to 31 characters.
  std::string long_key(40, 'q');
  EXPECT_EQ(insert(long_key.c_str(), 9, idx.c_str()), 1);
  EXPECT_NE(IndexText(idx).find(std::string(31, 'q') + "=9 zzz=2"), std::string::npos);

  // An empty file gets the entry: 0.
  std::string empty = dir_.Sub("EMPTY.IDX");
  WriteFileText(empty, "");
  EXPECT_EQ(insert("key", 0, empty.c_str()), 0);
  EXPECT_EQ(IndexText(empty), "key=0");

  // A file that cannot be opened: 0, nothing made.
  std::string nowhere = dir_.Sub("missing/dir/X.IDX");
  EXPECT_EQ(insert("key", 0, nowhere.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(nowhere));
  EXPECT_EQ(insert(nullptr, 0, idx.c_str()), 0);
}

TEST_F(QvinstTest, CreateDemoUserWritesTheInitialRecordsOnce) {
  auto demo = lib_.Get<int(const char*, const char*, const char*)>("_CreateDemoUser");
  std::string config = dir_.path();
  ASSERT_EQ(demo("example.test", "/opt/qv", config.c_str()), 2);

  std::string commands = ReadFileText(config + "/COMMANDS.DAT");
  ASSERT_EQ(commands.size(), sizeof(EXECSTRUCT));
  EXECSTRUCT c;
  std::memcpy(&c, commands.data(), sizeof c);
  EXPECT_STREQ(c.Name, "changepass");
  EXPECT_STREQ(c.Domain, "example.test");
  EXPECT_STREQ(c.Description, "Password-Manager");
  EXPECT_STREQ(c.Application, "/opt/qv/qvpass");
  EXPECT_STREQ(c.Parameters, "%%username%% %%oldpass%% %%newpass%%");
  EXPECT_STREQ(c.Keywords,
               "User: %%username%%\r\nOldPass: %%oldpass%%\r\nNewPass: %%newpass%%\r\n");
  int32_t options = c.Options;  // the records are packed
  EXPECT_EQ(options, 1);
  EXPECT_EQ(IndexText(config + "/COMMANDS.IDX"), "changepass=0");

  std::string users = ReadFileText(config + "/USER.DAT");
  ASSERT_EQ(users.size(), sizeof(USERSTRUCT));
  USERSTRUCT u;
  std::memcpy(&u, users.data(), sizeof u);
  EXPECT_STREQ(u.Alias, "listserver");
  EXPECT_STREQ(u.Domain, "example.test");
  EXPECT_STREQ(u.Name, "List-Manager");
  EXPECT_STREQ(u.Mailbox, "listserver");
  options = u.Options;
  EXPECT_EQ(options, kUserListManager);
  EXPECT_STREQ(u.Password, "");
  EXPECT_STREQ(u.MailingList, "");
  EXPECT_EQ(IndexText(config + "/USER.IDX"), "listserver=0");

  // The record store finds them through the offset-0 entries.
  SYSTEMSTRUCT system{};
  CopyField(system.ConfigPath, config);
  CopyField(system.Domain, "example.test");
  USERSTRUCT found{};
  EXPECT_EQ(FindRecord(system, "listserver", "example.test", &found), 0);
  EXECSTRUCT found_command{};
  EXPECT_EQ(FindRecord(system, "CHANGEPASS", "example.test", &found_command), 0);

  // A second run leaves the files as they are, even when they changed since.
  USERSTRUCT second = u;
  CopyField(second.Alias, "ann");
  ASSERT_EQ(AddRecord(system, &second), 0);
  std::string users_before = ReadFileText(config + "/USER.DAT");
  std::string index_before = ReadFileText(config + "/USER.IDX");
  EXPECT_EQ(demo("other.test", "/elsewhere", config.c_str()), 0);
  EXPECT_EQ(ReadFileText(config + "/USER.DAT"), users_before);
  EXPECT_EQ(ReadFileText(config + "/USER.IDX"), index_before);
  EXPECT_EQ(ReadFileText(config + "/COMMANDS.DAT"), commands);
}

TEST_F(QvinstTest, CreateDemoUserRespectsDataFilesOfAnyCaseAndReportsFailure) {
  auto demo = lib_.Get<int(const char*, const char*, const char*)>("_CreateDemoUser");
  std::string config = dir_.path();
  WriteFileText(config + "/user.dat", "");  // made by the record store in lower case
  EXPECT_EQ(demo("example.test", "/opt/qv", config.c_str()), 1);
  EXPECT_FALSE(std::filesystem::exists(config + "/USER.DAT"));
  EXPECT_TRUE(std::filesystem::exists(config + "/COMMANDS.DAT"));
  // A configuration folder that does not exist: nothing can be written.
  EXPECT_EQ(demo("example.test", "/opt/qv", dir_.Sub("absent").c_str()), -1);
  EXPECT_EQ(demo(nullptr, "/opt/qv", config.c_str()), -1);
}

TEST_F(QvinstTest, DialogHelpersFindNoDialog) {
  int dummy = 0;
  EXPECT_EQ(lib_.Get<int(void*, int)>("_ListCountItems")(&dummy, 100), -1);
  EXPECT_EQ(lib_.Get<int(void*, int)>("_LBClearAllSel")(&dummy, 100), -1);
  char text[8] = "stale";
  EXPECT_EQ(lib_.Get<int(void*, int, char*)>("_ListFocusItem")(&dummy, 100, text), -1);
  EXPECT_STREQ(text, "");
  lib_.Get<void(void*, const char*)>("_SetDialogTitle")(&dummy, "title");
  lib_.Get<void(void*, const char*, int)>("_ShowDlgHelp")(&dummy, "help.hlp", 3);
  lib_.Get<void(void*, const char*)>("_DestroyHelp")(&dummy, "help.hlp");
}

// True while the process runs (a zombie waiting for its parent does not count).
bool Alive(pid_t pid) {
  std::string stat = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return !stat.empty() && paren != std::string::npos && stat.compare(paren, 3, ") Z") != 0;
}

// Waits until the class's lock is held by a process other than `not_pid`; its pid or 0.
pid_t WaitHolder(const char* cls, pid_t not_pid) {
  for (int i = 0; i < 200; ++i) {
    pid_t pid = 0;
    if (platform::FindServiceWindow(cls, &pid) && pid > 0 && pid != not_pid) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return 0;
}

TEST_F(QvinstTest, HandleServiceStartsAndRestartsAPresenceService) {
  auto handle = lib_.Get<int(int, const char*)>("_HandleService");
  // The stand-in service takes the SMTP service's lock when it runs under its program name.
  std::string program = dir_.Sub("qvsmtp95");
  std::filesystem::copy_file(qv::testing::BinDir() + "/qvtesthold", program);

  EXPECT_EQ(handle(0, program.c_str()), 0);  // not running: 0
  ASSERT_EQ(handle(2, program.c_str()), 1);
  pid_t first = WaitHolder("QuorvaneSmtp", 0);
  ASSERT_GT(first, 0);
  EXPECT_EQ(handle(1, program.c_str()), first);  // another mode only answers the running one

  // Mode 2 on a running service: stopped, then started again.
  ASSERT_EQ(handle(2, program.c_str()), 1);
  pid_t second = WaitHolder("QuorvaneSmtp", first);
  ASSERT_GT(second, 0);
  EXPECT_NE(second, first);
  EXPECT_FALSE(Alive(first));

  // Other names, and the service manager's names in this mode, are refused.
  EXPECT_EQ(handle(2, dir_.Sub("qvsmtp").c_str()), 0);
  EXPECT_EQ(handle(2, dir_.Sub("qvsmtp95x").c_str()), 0);
  EXPECT_EQ(handle(2, dir_.Sub("xqvsmtp95").c_str()), 0);
  EXPECT_EQ(handle(2, nullptr), 0);
  pid_t still = 0;
  EXPECT_TRUE(platform::FindServiceWindow("QuorvaneSmtp", &still));
  EXPECT_EQ(still, second);

  // The service manager's mode chosen on a machine without systemd: nothing is written.
  if (!platform::ServiceManagerAvailable()) {
    setenv("QUORVANE_SERVICES", "systemd", 1);
    EXPECT_EQ(handle(2, dir_.Sub("qvsmtp").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists("/etc/systemd/system/QuorvaneSmtp.service"));
    setenv("QUORVANE_SERVICES", "presence", 1);
  }

  platform::SendDestroy("QuorvaneSmtp");
  for (int i = 0; i < 200 && platform::FindServiceWindow("QuorvaneSmtp"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(platform::FindServiceWindow("QuorvaneSmtp"));
}

}  // namespace
}  // namespace qv::setup
