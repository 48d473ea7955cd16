// The link manager on the real dial-up layer and link share library, against phone books whose
// dial and hang-up commands create and remove a state file and whose Status command tests it.
#include "dialup/link_manager.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/testing/line_process.h"
#include "common/testing/test_env.h"
#include "common/trace.h"

namespace qv::dialup {
namespace {

using qv::testing::BinDir;
using qv::testing::LineProcess;
using qv::testing::ReadFileText;
using qv::testing::ScopedSystemRoot;
using qv::testing::WriteFileText;
using Clock = std::chrono::steady_clock;

std::string RasPath() {
  return BinDir() + "/" + platform::ras::kLibraryName;
}
std::string SharePath() {
  return BinDir() + "/" + linkshare::kLibraryName;
}

size_t Lines(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// An open as the tests look at it: the handle, or 0 with `error` set to the reason.
HRASCONN Open(LinkManager& manager, const char* entry, std::string* error) {
  Result<HRASCONN> link = manager.OpenConnection(entry);
  *error = link.error();
  return link.ok() ? *link : 0;
}

class LinkManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = root_.path() + "/link-state";
    dials_ = root_.path() + "/dials";
    hangups_ = root_.path() + "/hangups";
    trace_ = root_.path() + "/trace.log";
    TraceInit(0, 999, kTraceToFile, 0, trace_.c_str(), "");
  }
  void TearDown() override { TraceInit(999, 999, 0, 0, nullptr, nullptr); }

  // An entry whose link is up while the state file exists; each dial and hang-up leaves a line.
  void WriteStatePhonebook(const std::string& dial_delay = "0") {
    WriteFileText(root_.path() + "/phonebook.ini",
                  "[Provider]\nPhoneNumber=555-0100\nUser=office\nPassword=secret\nDomain=OFFICE\n"
                  "Dial=/bin/sh -c \"echo d >> " +
                      dials_ + "; sleep " + dial_delay + "; echo up > " + state_ +
                      "\"\n"
                      "HangUp=/bin/sh -c \"echo h >> " +
                      hangups_ + "; rm -f " + state_ +
                      "\"\n"
                      "Status=/usr/bin/test -s " +
                      state_ + "\n");
  }

  LinkSettings Settings() const {
    LinkSettings s;
    s.ras_library = RasPath();
    s.share_library = SharePath();
    return s;
  }

  bool LinkUp() const { return access(state_.c_str(), F_OK) == 0; }
  std::string Trace() const { return ReadFileText(trace_); }

  ScopedSystemRoot root_;
  std::string state_, dials_, hangups_, trace_;
};

TEST_F(LinkManagerTest, MissingDialupLayer) {
  WriteStatePhonebook();
  LinkSettings settings = Settings();
  settings.ras_library = "libno-such-rasapi32.so";
  LinkManager manager(settings);
  std::string error = "old";
  EXPECT_EQ(Open(manager, "Provider", &error), 0u);
  EXPECT_EQ(error, "Could not load 'rasapi32.dll'");
  EXPECT_EQ(Open(manager, "Provider", &error), 0u);
  EXPECT_FALSE(manager.IsConnectionActive("Provider"));
  EXPECT_TRUE(manager.CloseConnection("Provider"));
  EXPECT_FALSE(LinkUp());
  std::string trace = Trace();
  // Tried once only.
  EXPECT_EQ(Occurrences(trace, "myras._LoadRasLibrary: Will load RAS dll\r\n"), 1u);
  EXPECT_EQ(Occurrences(trace, "myras._LoadRasLibrary: Cannot load RASAPI32.DLL!!\r\n"), 1u);
  EXPECT_NE(trace.find("myRasEnumConnections\r\n"), std::string::npos);

  // A library without the entry points is no dial-up layer either.
  settings.ras_library = SharePath();
  LinkManager wrong(settings);
  EXPECT_EQ(Open(wrong, "Provider", &error), 0u);
  EXPECT_EQ(error, "Could not load 'rasapi32.dll'");
  EXPECT_NE(Trace().find("myras._LoadRasLibrary: Missing entry points for RASAPI32.DLL!!\r\n"),
            std::string::npos);
}

TEST_F(LinkManagerTest, MissingShareLibraryNeverDials) {
  WriteStatePhonebook();
  LinkSettings settings = Settings();
  settings.share_library = "libno-such-brasshr.so";
  {
    LinkManager manager(settings);
    std::string error;
    EXPECT_EQ(Open(manager, "Provider", &error), 0u);
    EXPECT_EQ(error, "Error attempting to lock RAS Share");
    EXPECT_FALSE(manager.CloseConnection("Provider"));
  }
  EXPECT_FALSE(LinkUp());
  std::string trace = Trace();
  EXPECT_NE(trace.find("myrasshr._LoadBrsLibrary: Will load BRASSHR dll\r\n"), std::string::npos);
  EXPECT_NE(trace.find("myrasshr._LoadBrsLibrary: Cannot load BRASSHR.DLL!!\r\n"),
            std::string::npos);
  EXPECT_NE(trace.find("_LockRas: Error!! [erc=126, dwWaitResult=0, dwWaitTimeout=180000]\r\n"),
            std::string::npos);
  EXPECT_NE(trace.find("  :: Share Count [erc=126, Count=0]\r\n"), std::string::npos);
  EXPECT_NE(trace.find("<< CloseConnection [boRet=0, Connection=Provider, ercLock=126, "
                       "boHangupRas=0]\r\n"),
            std::string::npos);
  EXPECT_EQ(trace.find("myrasshr._FreeBrsLibrary"), std::string::npos);

  settings.share_library = RasPath();
  LinkManager wrong(settings);
  EXPECT_NE(Trace().find("myrasshr._LoadBrsLibrary: Missing entry points for BRASSHR.DLL!!\r\n"),
            std::string::npos);
}

// A deferred load happens once: at Start, or at the first open or close before its own lines.
TEST_F(LinkManagerTest, DeferredShareLibraryLoadsOnce) {
  constexpr char kLoad[] = "myrasshr._LoadBrsLibrary: Will load BRASSHR dll\r\n";
  WriteStatePhonebook();
  LinkSettings settings = Settings();
  settings.load_share_at_once = false;
  {
    LinkManager manager(settings);
    EXPECT_EQ(Trace(), "");
    manager.Start();
    manager.Start();
    EXPECT_EQ(Trace(), kLoad);
  }
  std::filesystem::remove(trace_);
  settings.share_library = "libno-such-brasshr.so";
  LinkManager manager(settings);
  std::string error;
  EXPECT_EQ(Open(manager, "Provider", &error), 0u);
  EXPECT_EQ(error, "Error attempting to lock RAS Share");
  manager.Start();
  EXPECT_FALSE(manager.CloseConnection("Provider"));
  std::string trace = Trace();
  EXPECT_EQ(
      trace.rfind(std::string(kLoad) + "myrasshr._LoadBrsLibrary: Cannot load BRASSHR.DLL!!\r\n"
                                       ">> OpenConnection [pszConnection=Provider]\r\n",
                  0),
      0u)
      << trace;
  EXPECT_EQ(Occurrences(trace, kLoad), 1u);
}

TEST_F(LinkManagerTest, DialJoinAndHangUpAtTheLastClose) {
  WriteStatePhonebook();
  {
    LinkManager manager(Settings());
    std::string error;
    uint32_t handle = Open(manager, "provider", &error);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(LinkUp());
    EXPECT_TRUE(manager.IsConnectionActive("PROVIDER"));
    EXPECT_EQ(manager.FindRasConnection("Provider"), handle);
    // A second user joins the link: the dial fails because it is up, and the link is found.
    EXPECT_EQ(Open(manager, "provider", &error), handle);
    EXPECT_EQ(Lines(ReadFileText(dials_)), 1u);
    EXPECT_TRUE(manager.CloseConnection("provider"));
    EXPECT_TRUE(LinkUp());
    EXPECT_TRUE(manager.CloseConnection("provider"));
    EXPECT_FALSE(LinkUp());
    EXPECT_FALSE(manager.IsConnectionActive("Provider"));
    EXPECT_EQ(manager.FindRasConnection("Provider"), 0u);
    // Nobody holds it any more: nothing to hang up.
    EXPECT_TRUE(manager.CloseConnection("provider"));
    EXPECT_EQ(Lines(ReadFileText(hangups_)), 1u);
  }
  std::string trace = Trace();
  for (const char* line : {
           ">> OpenConnection [pszConnection=provider]\r\n",
           "  :: Share Count [erc=0, Count=0]\r\n",
           "  ::  EntryDialParams(0,boPass=1) [Size=1052, Entry=Provider, PhNum=555-0100, "
           "User=office, Pass=***, Domain=OFFICE]\r\n",
           "myRasGetEntryDialParams [pbook=(null)]\r\n",
           ">>_LockRas\r\n",
           "<<_LockRas\r\n",
           "myRasDial\r\n",
           "<<myRasDial [erc=0]\r\n",
           "<<myRasDial [erc=602]\r\n",
           "  ::OpenConnection: Dial failed [erc=602, hRasConn=x0]\r\n",
           "  ::OpenConnection: Found existing - GetConnStatus [erc=0, hRasConn=x",
           "<< OpenConnection [Connection=provider, hRasConn=x",
           ", ShareCnt=2]\r\n",
           "<<_UnlockRas\r\n",
           ">>CloseConnection [Connection=provider]\r\n",
           "<< CloseConnection [boRet=1, Connection=provider, ercLock=0, boHangupRas=1]\r\n",
           "  _HangUpHandle: Just hungup [hRasConn=x",
           "<< IsConnectionActive [boRet=1, Connection=PROVIDER,hRasConn=0x",
           "myras._FreeRasLibrary: Will free RAS dll\r\n",
           "myrasshr._FreeBrsLibrary: Will free BRASSHR dll\r\n",
       }) {
    EXPECT_NE(trace.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(trace.find("secret"), std::string::npos);
}

TEST_F(LinkManagerTest, LinkUpBeforeIsNeverHungUp) {
  WriteStatePhonebook();
  WriteFileText(state_, "up by hand\n");
  LinkManager manager(Settings());
  std::string error;
  EXPECT_NE(Open(manager, "Provider", &error), 0u);
  EXPECT_NE(Open(manager, "Provider", &error), 0u);
  EXPECT_TRUE(manager.CloseConnection("Provider"));
  EXPECT_TRUE(manager.CloseConnection("Provider"));
  EXPECT_TRUE(LinkUp());
  EXPECT_EQ(ReadFileText(dials_), "");
  EXPECT_EQ(ReadFileText(hangups_), "");
}

TEST_F(LinkManagerTest, DialParametersAndFailedDials) {
  WriteStatePhonebook();
  WriteFileText(root_.path() + "/phonebook.ini",
                ReadFileText(root_.path() + "/phonebook.ini") +
                    "[Broken]\nDial=/bin/false\nStatus=/bin/false\nHangUp=/bin/sh -c \"echo b >> " +
                    hangups_ + "\"\n[NoLink]\nDial=/bin/true\n");
  LinkSettings settings = Settings();
  settings.user = "admin";
  settings.password = "pw";
  LinkManager manager(settings);
  std::string error;
  EXPECT_EQ(Open(manager, "Unknown", &error), 0u);
  EXPECT_EQ(error, "Error getting dial parameters");
  EXPECT_EQ(Open(manager, std::string(300, 'x').c_str(), &error), 0u);
  EXPECT_EQ(error, "Error getting dial parameters");
  EXPECT_EQ(Open(manager, nullptr, &error), 0u);
  EXPECT_EQ(error, "Error getting dial parameters");
  EXPECT_NE(Trace().find(">> OpenConnection [pszConnection=(null)]\r\n"), std::string::npos);

  // A failed dial whose handle came back is hung up before the manager looks further.
  EXPECT_EQ(Open(manager, "Broken", &error), 0u);
  EXPECT_EQ(error, "Error, no existing connection after failed dial (628)");
  EXPECT_EQ(ReadFileText(hangups_), "b\n");
  EXPECT_EQ(Open(manager, "NoLink", &error), 0u);
  EXPECT_EQ(error, "Error, no existing connection after failed dial (625)");

  // RASUser and RASPassword replace the stored ones.
  EXPECT_NE(Open(manager, "Provider", &error), 0u);
  EXPECT_NE(Trace().find("  :: Will use DialParams [erc=0, Entry=Provider, PhNum=555-0100, "
                         "User=admin, Pass=***, Domain=OFFICE]\r\n"),
            std::string::npos);
  EXPECT_TRUE(manager.CloseConnection("Provider"));
  EXPECT_FALSE(LinkUp());

  settings.override_credentials = false;
  LinkManager stored(settings);
  EXPECT_NE(Open(stored, "Provider", &error), 0u);
  EXPECT_NE(Trace().find("User=office, Pass=***, Domain=OFFICE]\r\n"), std::string::npos);
  EXPECT_TRUE(stored.CloseConnection("Provider"));
}

TEST_F(LinkManagerTest, DisconnectedLinkIsRedialledAtMostThreeTimes) {
  // The interface stays present but down: the dial cannot bring it up, the hang-up cannot
  // remove it.
  std::string net = root_.path() + "/net";
  ASSERT_TRUE(std::filesystem::create_directories(net + "/ppp9"));
  WriteFileText(net + "/ppp9/operstate", "down\n");
  WriteFileText(root_.path() + "/phonebook.ini",
                "[Stuck]\nDial=/bin/false\nInterface=ppp9\nHangUp=/bin/sh -c \"echo h >> " +
                    hangups_ + "\"\n");
  void* lib = dlopen(RasPath().c_str(), RTLD_NOW);
  ASSERT_NE(lib, nullptr);
  auto set_net_root = reinterpret_cast<void (*)(const char*)>(dlsym(lib, "QvRasSetNetRoot"));
  ASSERT_NE(set_net_root, nullptr);
  set_net_root(net.c_str());
  {
    LinkManager manager(Settings());
    std::string error = "old";
    auto start = Clock::now();
    EXPECT_EQ(Open(manager, "Stuck", &error), 0u);
    EXPECT_EQ(error, "");
    EXPECT_EQ(ReadFileText(hangups_), "h\nh\nh\n");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    EXPECT_FALSE(manager.IsConnectionActive("Stuck"));
    std::string trace = Trace();
    EXPECT_EQ(Occurrences(trace, "connstate=8193"), 3u);
    EXPECT_EQ(Occurrences(trace, "  _HangUpHandle: Timed out!! [erc=0, hRasConn=x"), 3u);
  }
  set_net_root(nullptr);
  dlclose(lib);
}

TEST_F(LinkManagerTest, DialLockHeldElsewhereTooLong) {
  WriteStatePhonebook();
  LineProcess holder(BinDir() + "/linkshare_peer", {SharePath()});
  ASSERT_EQ(holder.first_line(), "ready");
  ASSERT_EQ(holder.Call("lock 0"), "0 0");
  LinkSettings settings = Settings();
  settings.lock_wait_ms = 300;
  LinkManager manager(settings);
  std::string error;
  EXPECT_EQ(Open(manager, "Provider", &error), 0u);
  EXPECT_EQ(error, "Error attempting to lock RAS Share");
  EXPECT_FALSE(LinkUp());
  EXPECT_FALSE(manager.CloseConnection("Provider"));
  EXPECT_NE(Trace().find("_LockRas: Error!! [erc=121, dwWaitResult=258, dwWaitTimeout=300]\r\n"),
            std::string::npos);
  // A holder that ends without releasing leaves the lock to the next.
  holder.Send("die");
  holder.Wait();
  EXPECT_NE(Open(manager, "Provider", &error), 0u);
  EXPECT_TRUE(manager.CloseConnection("Provider"));
  EXPECT_FALSE(LinkUp());
}

TEST_F(LinkManagerTest, TwoProcessesShareOneLink) {
  WriteStatePhonebook("0.5");
  auto peer = [&] {
    return std::make_unique<LineProcess>(BinDir() + "/dialup_peer",
                                         std::vector<std::string>{RasPath(), SharePath()});
  };
  auto smtp = peer(), pop3 = peer();
  ASSERT_EQ(smtp->first_line(), "ready");
  ASSERT_EQ(pop3->first_line(), "ready");
  // Both open at once: one dials, the other waits for the dial lock and joins.
  smtp->Send("open Provider");
  pop3->Send("open Provider");
  std::string a = smtp->ReadLine(), b = pop3->ReadLine();
  EXPECT_EQ(a, b);
  EXPECT_NE(a.rfind("0|", 0), 0u) << a;
  EXPECT_EQ(Lines(ReadFileText(dials_)), 1u);
  EXPECT_EQ(smtp->Call("active Provider"), "1");
  // The first close leaves the link to the other user, the second hangs up.
  EXPECT_EQ(smtp->Call("close Provider"), "1");
  EXPECT_TRUE(LinkUp());
  EXPECT_EQ(pop3->Call("active Provider"), "1");
  EXPECT_EQ(pop3->Call("close Provider"), "1");
  EXPECT_FALSE(LinkUp());
  EXPECT_EQ(smtp->Call("active Provider"), "0");
  EXPECT_EQ(Lines(ReadFileText(hangups_)), 1u);
}

TEST_F(LinkManagerTest, ThreadsOfOneProcess) {
  WriteStatePhonebook();
  LinkManager manager(Settings());
  DialupLink& link = manager;
  std::vector<std::thread> threads;
  std::atomic<int> opened{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int round = 0; round < 3; ++round) {
        std::string error;
        if (link.Open("Provider", &error)) {
          ++opened;
          link.IsActive("Provider");
          link.Close("Provider");
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(opened.load(), 12);
  EXPECT_FALSE(LinkUp());
  EXPECT_EQ(Lines(ReadFileText(dials_)), Lines(ReadFileText(hangups_)));
}

TEST(DialupInterface, NoDialupAndTheSettingsOfTheCommonKey) {
  DialupLink& none = NoDialupLink();
  std::string error;
  EXPECT_FALSE(none.Open("Provider", &error));
  EXPECT_EQ(error, "Could not load 'rasapi32.dll'");
  EXPECT_TRUE(none.Close("Provider"));
  EXPECT_FALSE(none.IsActive("Provider"));

  SYSTEMSTRUCT system{};
  std::memset(system.RASUser, 'u', sizeof system.RASUser);  // no terminator
  std::strcpy(system.RASPassword, "pw");
  LinkSettings settings = LinkSettingsOf(system);
  EXPECT_EQ(settings.user, std::string(sizeof system.RASUser, 'u'));
  EXPECT_EQ(settings.password, "pw");
  EXPECT_TRUE(settings.override_credentials);
  EXPECT_EQ(settings.lock_wait_ms, 180000u);
}

}  // namespace
}  // namespace qv::dialup
