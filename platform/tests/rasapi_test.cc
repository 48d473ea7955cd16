// The dial-up layer, loaded the way the link manager loads it, against phone books whose
// commands bring a "link" up and down by creating and removing a state file.
#include "platform/rasapi.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "common/testing/test_env.h"
#include "platform/rasapi_client.h"
#include "platform/rasapi_phonebook.h"

namespace qv::platform::ras {
namespace {

using qv::testing::BinDir;
using qv::testing::ReadFileText;
using qv::testing::ScopedSystemRoot;
using qv::testing::WriteFileText;
using Clock = std::chrono::steady_clock;

struct RasLibrary {
  RasLibrary() {
    handle = dlopen((BinDir() + "/" + kLibraryName).c_str(), RTLD_NOW);
    if (handle == nullptr) return;
    dial = reinterpret_cast<RasDialFn>(dlsym(handle, "RasDialA"));
    hang_up = reinterpret_cast<RasHangUpFn>(dlsym(handle, "RasHangUpA"));
    params = reinterpret_cast<RasGetEntryDialParamsFn>(dlsym(handle, "RasGetEntryDialParamsA"));
    enum_connections = reinterpret_cast<RasEnumConnectionsFn>(dlsym(handle, "RasEnumConnectionsA"));
    status = reinterpret_cast<RasGetConnectStatusFn>(dlsym(handle, "RasGetConnectStatusA"));
    error_string = reinterpret_cast<RasGetErrorStringFn>(dlsym(handle, "RasGetErrorStringA"));
    enum_entries = reinterpret_cast<RasEnumEntriesFn>(dlsym(handle, "RasEnumEntriesA"));
    set_limit = reinterpret_cast<void (*)(uint32_t)>(dlsym(handle, "QvRasSetDialLimit"));
    set_net_root = reinterpret_cast<void (*)(const char*)>(dlsym(handle, "QvRasSetNetRoot"));
  }
  bool complete() const {
    return dial && hang_up && params && enum_connections && status && error_string &&
           enum_entries && set_limit && set_net_root;
  }
  void* handle = nullptr;
  RasDialFn dial = nullptr;
  RasHangUpFn hang_up = nullptr;
  RasGetEntryDialParamsFn params = nullptr;
  RasEnumConnectionsFn enum_connections = nullptr;
  RasGetConnectStatusFn status = nullptr;
  RasGetErrorStringFn error_string = nullptr;
  RasEnumEntriesFn enum_entries = nullptr;
  void (*set_limit)(uint32_t) = nullptr;
  void (*set_net_root)(const char*) = nullptr;
};

RasLibrary& Ras() {
  static RasLibrary lib;
  return lib;
}

class RasApi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Ras().complete()) << dlerror();
    Ras().set_limit(0);
    Ras().set_net_root(root_.path().c_str());
    state_ = root_.path() + "/link-state";
  }
  void TearDown() override { Ras().set_net_root(nullptr); }

  void WritePhonebook(const std::string& text) {
    WriteFileText(root_.path() + "/" + kPhonebookName, text);
  }

  // An entry whose link is "up" while the state file exists.
  std::string StateEntry(const std::string& name) const {
    return "[" + name + "]\nPhoneNumber=555-0100\nUser=mail\nPassword=secret\nDomain=OFFICE\n" +
           "Dial=/bin/sh -c \"echo dialled > " + state_ + "\"\nHangUp=/bin/rm -f " + state_ +
           "\nStatus=/usr/bin/test -s " + state_ + "\n";
  }

  static RASDIALPARAMSA Params(const std::string& entry) {
    RASDIALPARAMSA p{};
    p.dwSize = sizeof p;
    std::strncpy(p.szEntryName, entry.c_str(), sizeof p.szEntryName - 1);
    return p;
  }

  uint32_t Dial(const std::string& entry, HRASCONN* handle) {
    RASDIALPARAMSA p = Params(entry);
    return Ras().dial(nullptr, nullptr, &p, 0, nullptr, handle);
  }

  uint32_t State(HRASCONN handle, uint32_t* state) {
    RASCONNSTATUSA s{};
    s.dwSize = sizeof s;
    uint32_t rc = Ras().status(handle, &s);
    *state = s.rasconnstate;
    return rc;
  }

  std::vector<std::string> ConnectionNames() {
    RASCONNA conns[4]{};
    conns[0].dwSize = sizeof(RASCONNA);
    uint32_t bytes = sizeof conns, count = 99;
    EXPECT_EQ(Ras().enum_connections(conns, &bytes, &count), kOk);
    std::vector<std::string> names;
    for (uint32_t i = 0; i < count && i < 4; ++i) names.emplace_back(conns[i].szEntryName);
    return names;
  }

  ScopedSystemRoot root_;
  std::string state_;
};

TEST(Phonebook, SectionsKeysAndMalformedParts) {
  std::string long_name(300, 'n');
  std::string text =
      "PhoneNumber=before any section\r\n"
      "; comment\r\n"
      "[Provider]\r\n"
      "  phonenumber = 555 0100 \r\n"
      "PHONENUMBER=second is ignored\r\n"
      "Dial=pon provider\r\n"
      "no equals sign here\r\n"
      "Unknown=x\r\n"
      "[" +
      long_name +
      "]\r\nDial=too long\r\n"
      "[]\r\nDial=empty\r\n"
      "[trailing] text\r\nDial=trailing\r\n"
      "[PROVIDER]\r\nDial=duplicate\r\n"
      "[bad\x01name]\r\nDial=control\r\n"
      "[Other]\nInterface=ppp1\nStatus=/bin/true\n"
      "[unterminated\nDial=lost\n"
      "[" +
      std::string(kMaxEntryName, 'm') + "]\n";
  auto book = ParsePhonebook(text);
  ASSERT_EQ(book.size(), 3u);
  EXPECT_EQ(book[0].name, "Provider");
  EXPECT_EQ(book[0].phone_number, "555 0100");
  EXPECT_EQ(book[0].dial, "pon provider");
  EXPECT_EQ(book[1].name, "Other");
  EXPECT_EQ(book[1].interface, "ppp1");
  EXPECT_EQ(book[1].dial, "");
  EXPECT_EQ(book[2].name.size(), kMaxEntryName);
  EXPECT_EQ(FindEntry(book, "provider"), &book[0]);
  EXPECT_EQ(FindEntry(book, long_name), nullptr);
  EXPECT_EQ(FindHandle(book, HandleOf("OTHER")), &book[1]);
  EXPECT_EQ(FindHandle(book, 0), nullptr);
  EXPECT_TRUE(ParsePhonebook("").empty());
  EXPECT_TRUE(ParsePhonebook(std::string(5000, '[')).empty());

  std::string many;
  for (size_t i = 0; i < kMaxPhonebookEntries + 10; ++i) many += "[e" + std::to_string(i) + "]\n";
  EXPECT_EQ(ParsePhonebook(many).size(), kMaxPhonebookEntries);
  for (const char* bad : {"", ".", "..", "a/b", "../eth0", "sixteen-chars-xx"})
    EXPECT_FALSE(ValidInterfaceName(bad)) << bad;
  EXPECT_TRUE(ValidInterfaceName("ppp0"));
}

TEST_F(RasApi, DialStatusEnumerateAndHangUp) {
  WritePhonebook(StateEntry("Provider") + "[Idle]\nDial=/bin/true\nStatus=/bin/false\n");
  EXPECT_TRUE(ConnectionNames().empty());
  HRASCONN handle = 0;
  ASSERT_EQ(Dial("provider", &handle), kOk);
  EXPECT_EQ(handle, HandleOf("Provider"));
  EXPECT_EQ(ReadFileText(state_), "dialled\n");
  uint32_t state = 0;
  EXPECT_EQ(State(handle, &state), kOk);
  EXPECT_EQ(state, kStateConnected);
  EXPECT_EQ(ConnectionNames(), std::vector<std::string>{"Provider"});

  // A link that is up is not dialled again, and no handle comes back to hang up.
  HRASCONN again = 77;
  EXPECT_EQ(Dial("Provider", &again), kErrPortAlreadyOpen);
  EXPECT_EQ(again, 0u);

  EXPECT_EQ(Ras().hang_up(handle), kOk);
  EXPECT_NE(access(state_.c_str(), F_OK), 0);
  EXPECT_EQ(State(handle, &state), kErrInvalidHandle);
  EXPECT_TRUE(ConnectionNames().empty());
  EXPECT_EQ(Ras().hang_up(12345), kErrInvalidHandle);
  EXPECT_EQ(Ras().hang_up(0), kErrInvalidHandle);
}

TEST_F(RasApi, RecordSizesAndBuffers) {
  WritePhonebook(StateEntry("One") + "[Two]\nDial=/bin/true\nStatus=/bin/true\n");
  RASCONNA conns[2]{};
  conns[0].dwSize = sizeof(RASCONNA);
  uint32_t bytes = sizeof(RASCONNA) - 1, count = 0;
  EXPECT_EQ(Ras().enum_connections(conns, &bytes, &count), kErrBufferTooSmall);
  EXPECT_EQ(bytes, sizeof(RASCONNA));  // "Two" is up; "One" is not
  bytes = 0;
  EXPECT_EQ(Ras().enum_connections(nullptr, &bytes, &count), kErrBufferTooSmall);
  conns[0].dwSize = 400;
  bytes = sizeof conns;
  EXPECT_EQ(Ras().enum_connections(conns, &bytes, &count), kErrInvalidSize);
  EXPECT_EQ(Ras().enum_connections(conns, nullptr, &count), kErrInvalidParameter);
  WriteFileText(state_, "up");
  conns[0].dwSize = sizeof(RASCONNA);
  bytes = sizeof conns;
  ASSERT_EQ(Ras().enum_connections(conns, &bytes, &count), kOk);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(bytes, 2 * sizeof(RASCONNA));
  EXPECT_EQ(conns[1].dwSize, sizeof(RASCONNA));
  EXPECT_STREQ(conns[1].szEntryName, "Two");
  EXPECT_EQ(conns[1].hrasconn, HandleOf("Two"));

  RASENTRYNAMEA names[2]{};
  names[0].dwSize = sizeof(RASENTRYNAMEA);
  bytes = sizeof names[0];
  EXPECT_EQ(Ras().enum_entries(nullptr, nullptr, names, &bytes, &count), kErrBufferTooSmall);
  EXPECT_EQ(bytes, 2 * sizeof(RASENTRYNAMEA));
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(Ras().enum_entries(nullptr, nullptr, names, &bytes, &count), kOk);
  EXPECT_STREQ(names[0].szEntryName, "One");
  EXPECT_STREQ(names[1].szEntryName, "Two");
  names[0].dwSize = 261;
  EXPECT_EQ(Ras().enum_entries(nullptr, nullptr, names, &bytes, &count), kErrInvalidSize);

  RASCONNSTATUSA st{};
  st.dwSize = 158;
  EXPECT_EQ(Ras().status(HandleOf("Two"), &st), kErrInvalidSize);
  EXPECT_EQ(Ras().status(HandleOf("Two"), nullptr), kErrInvalidParameter);
}

TEST_F(RasApi, DialParameters) {
  WritePhonebook(StateEntry("Provider") + "[Bare]\n[Long]\nPhoneNumber=" + std::string(200, '9') +
                 "\nDomain=" + std::string(40, 'd') + "\n");
  RASDIALPARAMSA p = Params("PROVIDER");
  int32_t has_password = -1;
  ASSERT_EQ(Ras().params(nullptr, &p, &has_password), kOk);
  EXPECT_STREQ(p.szEntryName, "Provider");
  EXPECT_STREQ(p.szPhoneNumber, "555-0100");
  EXPECT_STREQ(p.szCallbackNumber, "");
  EXPECT_STREQ(p.szUserName, "mail");
  EXPECT_STREQ(p.szPassword, "secret");
  EXPECT_STREQ(p.szDomain, "OFFICE");
  EXPECT_EQ(has_password, 1);
  p = Params("Bare");
  ASSERT_EQ(Ras().params(nullptr, &p, &has_password), kOk);
  EXPECT_EQ(has_password, 0);
  p = Params("Long");
  ASSERT_EQ(Ras().params(nullptr, &p, nullptr), kOk);
  EXPECT_EQ(std::strlen(p.szPhoneNumber), kMaxPhoneNumber);
  EXPECT_EQ(std::strlen(p.szDomain), kMaxDomain);

  p = Params("Nobody");
  EXPECT_EQ(Ras().params(nullptr, &p, nullptr), kErrCannotFindEntry);
  p = Params(std::string(300, 'x'));
  EXPECT_EQ(Ras().params(nullptr, &p, nullptr), kErrCannotFindEntry);
  p = Params("Provider");
  std::memset(p.szEntryName, 'x', sizeof p.szEntryName);  // no terminator
  EXPECT_EQ(Ras().params(nullptr, &p, nullptr), kErrInvalidParameter);
  HRASCONN handle = 5;
  EXPECT_EQ(Ras().dial(nullptr, nullptr, &p, 0, nullptr, &handle), kErrInvalidParameter);
  EXPECT_EQ(handle, 0u);
  p = Params("Provider");
  p.dwSize = 1049;
  EXPECT_EQ(Ras().params(nullptr, &p, nullptr), kErrInvalidSize);
  EXPECT_EQ(Ras().params(nullptr, nullptr, nullptr), kErrInvalidParameter);

  // Another phone book named by the caller.
  std::string other = root_.path() + "/other.ini";
  WriteFileText(other, "[Elsewhere]\nUser=u2\n");
  p = Params("Elsewhere");
  ASSERT_EQ(Ras().params(other.c_str(), &p, nullptr), kOk);
  EXPECT_STREQ(p.szUserName, "u2");
}

TEST_F(RasApi, NoPhonebookIsNoDialUp) {
  uint32_t bytes = 0, count = 9;
  EXPECT_EQ(Ras().enum_entries(nullptr, nullptr, nullptr, &bytes, &count), kOk);
  EXPECT_EQ(count, 0u);
  count = 9;
  EXPECT_EQ(Ras().enum_connections(nullptr, &bytes, &count), kOk);
  EXPECT_EQ(count, 0u);
  RASDIALPARAMSA p = Params("Provider");
  EXPECT_EQ(Ras().params(nullptr, &p, nullptr), kErrCannotFindEntry);
  HRASCONN handle = 0;
  EXPECT_EQ(Dial("Provider", &handle), kErrCannotFindEntry);
  EXPECT_EQ(Ras().hang_up(HandleOf("Provider")), kErrInvalidHandle);
}

TEST_F(RasApi, FailingAndIncompleteEntries) {
  WritePhonebook(
      "[NoDial]\nStatus=/bin/false\n"
      "[NoProbe]\nDial=/bin/true\n"
      "[BadInterface]\nDial=/bin/true\nInterface=../../etc\n"
      "[Missing]\nDial=/no/such/program\nStatus=/bin/false\nHangUp=/no/such/program\n"
      "[Fails]\nDial=/bin/false\nStatus=/bin/false\nHangUp=/bin/false\n"
      "[NoHangUp]\nDial=/bin/true\nStatus=/bin/false\n");
  struct Case {
    const char* entry;
    uint32_t result;
    bool handle_back;
  } cases[] = {
      {"NoDial", kErrCorruptPhonebook, false},
      {"NoProbe", kErrCorruptPhonebook, false},
      {"BadInterface", kErrCorruptPhonebook, false},
      {"Missing", kErrDeviceDoesNotExist, false},
      {"Fails", kErrDisconnection, true},
  };
  for (const Case& c : cases) {
    HRASCONN handle = 0;
    EXPECT_EQ(Dial(c.entry, &handle), c.result) << c.entry;
    EXPECT_EQ(handle != 0, c.handle_back) << c.entry;
  }
  EXPECT_EQ(Ras().hang_up(HandleOf("Missing")), kErrDeviceDoesNotExist);
  EXPECT_EQ(Ras().hang_up(HandleOf("Fails")), kErrDisconnection);
  EXPECT_EQ(Ras().hang_up(HandleOf("NoHangUp")), kErrCorruptPhonebook);
}

TEST_F(RasApi, HangingCommandsAreStoppedAtTheLimit) {
  std::string pid_file = root_.path() + "/dial.pid";
  WritePhonebook("[Hangs]\nDial=/bin/sh -c \"echo $$ > " + pid_file +
                 "; exec sleep 100\"\nStatus=/bin/false\nHangUp=/bin/sleep 100\n"
                 "[SlowStatus]\nDial=/bin/true\nStatus=/bin/sleep 100\n");
  Ras().set_limit(600);
  auto start = Clock::now();
  HRASCONN handle = 0;
  EXPECT_EQ(Dial("Hangs", &handle), kErrRequestTimeout);
  EXPECT_EQ(handle, HandleOf("Hangs"));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  pid_t pid = std::stoi(ReadFileText(pid_file));
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);

  start = Clock::now();
  EXPECT_EQ(Ras().hang_up(handle), kErrRequestTimeout);
  uint32_t state = 0;
  EXPECT_EQ(State(HandleOf("SlowStatus"), &state), kErrInvalidHandle);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(6));
}

TEST_F(RasApi, LinkWaitedForAfterTheCommandEnds) {
  // The command starts the link in the background and returns at once, as "pon" does.
  WritePhonebook("[Background]\nDial=/bin/sh -c \"(sleep 0.4; touch " + state_ +
                 ") >/dev/null 2>&1 &\"\nStatus=/usr/bin/test -e " + state_ + "\nHangUp=/bin/rm " +
                 state_ + "\n");
  HRASCONN handle = 0;
  auto start = Clock::now();
  ASSERT_EQ(Dial("Background", &handle), kOk);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(Ras().hang_up(handle), kOk);
}

TEST_F(RasApi, CallsFromSeveralThreads) {
  // A dial waits for its command while other threads run (and collect) their own commands.
  WritePhonebook("[Background]\nDial=/bin/sh -c \"sleep 0.3; touch " + state_ +
                 "\"\nStatus=/usr/bin/test -e " + state_ + "\nHangUp=/bin/rm " + state_ +
                 "\n[Always]\nStatus=/bin/true\n");
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  auto poll = [&] {
    while (!done.load()) {
      uint32_t state = 0;
      if (State(HandleOf("Always"), &state) != kOk || state != kStateConnected) ++wrong;
    }
  };
  std::thread a(poll), b(poll);
  HRASCONN handle = 0;
  EXPECT_EQ(Dial("Background", &handle), kOk);
  done = true;
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(Ras().hang_up(handle), kOk);
}

TEST_F(RasApi, InterfaceStates) {
  WritePhonebook("[Net]\nDial=/bin/sh -c \"mkdir -p " + root_.path() + "/ppp7 && echo unknown > " +
                 root_.path() + "/ppp7/operstate\"\nInterface=ppp7\nHangUp=/bin/rm -r " +
                 root_.path() + "/ppp7\n");
  HRASCONN handle = 0;
  ASSERT_EQ(Dial("Net", &handle), kOk);
  uint32_t state = 0;
  EXPECT_EQ(State(handle, &state), kOk);
  EXPECT_EQ(state, kStateConnected);
  // The interface is still there but the line dropped.
  WriteFileText(root_.path() + "/ppp7/operstate", "down\n");
  EXPECT_EQ(State(handle, &state), kOk);
  EXPECT_EQ(state, kStateDisconnected);
  EXPECT_EQ(ConnectionNames(), std::vector<std::string>{"Net"});
  HRASCONN again = 0;
  EXPECT_EQ(Dial("Net", &again), kErrPortAlreadyOpen);
  EXPECT_EQ(Ras().hang_up(handle), kOk);
  EXPECT_EQ(State(handle, &state), kErrInvalidHandle);
}

TEST_F(RasApi, PhonebookListThroughTheLayer) {
  std::string book;
  for (int i = 0; i < 40; ++i) book += "[Entry " + std::to_string(i) + "]\n";
  WritePhonebook(book);
  auto names = ListPhonebookEntries(BinDir() + "/" + kLibraryName);
  ASSERT_EQ(names.size(), 40u);
  EXPECT_EQ(names[39], "Entry 39");
  EXPECT_TRUE(ListPhonebookEntries("libno-such-rasapi32.so").empty());
  WritePhonebook("");
  EXPECT_TRUE(ListPhonebookEntries(BinDir() + "/" + kLibraryName).empty());
}

TEST_F(RasApi, ErrorTexts) {
  char text[128];
  EXPECT_EQ(Ras().error_string(kErrBufferTooSmall, text, sizeof text), kOk);
  EXPECT_EQ(Ras().error_string(99999, text, sizeof text), kErrInvalidParameter);
  EXPECT_EQ(Ras().error_string(kErrBufferTooSmall, text, 4), kErrInsufficientBuffer);
  EXPECT_EQ(Ras().error_string(kErrBufferTooSmall, nullptr, 128), kErrInvalidParameter);
}

}  // namespace
}  // namespace qv::platform::ras
