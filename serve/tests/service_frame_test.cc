#include "serve/service_frame.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/testing/line_client.h"
#include "common/testing/test_env.h"
#include "platform/registry.h"
#include "platform/tray.h"
#include "serve/peer_count.h"

namespace qv {
namespace {

using qv::testing::LineClient;

std::atomic<int> g_destroyed{0};
std::atomic<size_t> g_largest_read{0};

// A small line protocol: "idle <ms>" sets the idle limit, "quit" closes, "big <n>" sends n bytes,
// anything else is echoed.
class EchoHandler : public ConnectionHandler {
 public:
  explicit EchoHandler(ConnectionLink& link) : link_(link) {}
  ~EchoHandler() override { ++g_destroyed; }

  void OnReceive(std::string_view bytes) override {
    if (bytes.size() > g_largest_read) g_largest_read = bytes.size();
    line_.append(bytes);
    size_t end;
    while ((end = line_.find("\r\n")) != std::string::npos) {
      std::string line = line_.substr(0, end);
      line_.erase(0, end + 2);
      if (line == "quit") {
        link_.Send("bye\r\n");
        link_.Close();
        return;
      }
      if (line.rfind("idle ", 0) == 0) {
        link_.SetIdleLimit(std::chrono::milliseconds(std::stoi(line.substr(5))));
        link_.Send("armed\r\n");
      } else if (line.rfind("big ", 0) == 0) {
        link_.Send(std::string(std::stoul(line.substr(4)), 'x') + "\r\n");
      } else {
        link_.Send("echo " + line + "\r\n");
      }
    }
  }

  void OnIdle() override {
    link_.Send("idle\r\n");
    link_.Close();
  }

 private:
  ConnectionLink& link_;
  std::string line_;
};

ListenerSetup EchoListener(size_t slots, std::string greeting = "hello\r\n",
                           std::string busy = "busy\r\n") {
  ListenerSetup setup;
  setup.name = "echo";
  setup.slot_count = slots;
  setup.read_size = 1024;
  setup.greeting = [greeting] { return greeting; };
  setup.busy_reply = [busy] { return busy; };
  setup.make_handler = [](ConnectionLink& link, const std::string&) {
    return std::make_unique<EchoHandler>(link);
  };
  return setup;
}

// A frame listening on free loopback ports with its loop on a thread of its own.
class RunningFrame {
 public:
  explicit RunningFrame(size_t slots, std::function<int()> extra = nullptr,
                        std::function<void(std::string_view)> log = nullptr,
                        std::vector<ListenerSetup> more = {}) {
    ServiceSetup setup;
    setup.window_class = "QuorvaneFrameTest";
    setup.extra_activity = std::move(extra);
    if (log) setup.log = [log](int, int, const char*, std::string_view text) { log(text); };
    frame_ = std::make_unique<ServiceFrame>(std::move(setup));
    more.insert(more.begin(), EchoListener(slots));
    listening_ = true;
    for (auto& listener_setup : more)
      listening_ = frame_->AddListener(std::move(listener_setup)).Listen(0) && listening_;
    platform::TrayAdd(platform::kIconIdle, "test");
    thread_ = std::thread([this] { frame_->loop().Run(); });
  }
  ~RunningFrame() { Stop(); }

  bool listening() const { return listening_; }
  int port(size_t listener = 0) const { return frame_->listener(listener).BoundPort(); }

  template <typename F>
  auto Query(F fn) {
    std::promise<decltype(fn())> promise;
    frame_->loop().Post([&] { promise.set_value(fn()); });
    return promise.get_future().get();
  }

  size_t SlotsInUse(size_t listener = 0) {
    return Query([this, listener] { return frame_->listener(listener).SlotsInUse(); });
  }
  int SlotNumber(size_t i) {
    return Query([this, i] { return frame_->listener(0).SlotNumber(i); });
  }
  int activity() {
    return Query([this] { return frame_->activity(); });
  }

  // Waits (with a guard) until the listener holds `n` connections.
  bool WaitSlots(size_t n, size_t listener = 0) {
    for (int i = 0; i < 2000; ++i) {
      if (SlotsInUse(listener) == n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  void Stop() {
    if (!thread_.joinable()) return;
    frame_->loop().Post([this] { frame_->Stop(); });
    thread_.join();
    frame_->CloseAll();
  }

 private:
  std::unique_ptr<ServiceFrame> frame_;
  bool listening_ = false;
  std::thread thread_;
};

TEST(ServiceFrame, GreetsEchoesAndClosesOnRequest) {
  RunningFrame frame(3);
  ASSERT_TRUE(frame.listening());
  LineClient client;
  ASSERT_TRUE(client.Connect(frame.port()));
  EXPECT_EQ(client.ReadLine(), "hello\r\n");
  // A line split over many sends still arrives as one line.
  for (char c : std::string("abc\r\n")) client.Send(std::string(1, c));
  EXPECT_EQ(client.ReadLine(), "echo abc\r\n");
  client.Send("quit\r\n");
  EXPECT_EQ(client.ReadLine(), "bye\r\n");
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(frame.WaitSlots(0));
}

TEST(ServiceFrame, ConnectionBeyondTheSlotsIsRefusedAndLowestSlotIsReused) {
  RunningFrame frame(2);
  LineClient a, b, c;
  ASSERT_TRUE(a.Connect(frame.port()));
  EXPECT_EQ(a.ReadLine(), "hello\r\n");
  ASSERT_TRUE(b.Connect(frame.port()));
  EXPECT_EQ(b.ReadLine(), "hello\r\n");
  ASSERT_TRUE(c.Connect(frame.port()));
  std::string rest;
  EXPECT_TRUE(c.WaitClosed(&rest));
  EXPECT_EQ(rest, "busy\r\n");
  // The two admitted connections still work.
  a.Send("x\r\n");
  EXPECT_EQ(a.ReadLine(), "echo x\r\n");
  b.Send("y\r\n");
  EXPECT_EQ(b.ReadLine(), "echo y\r\n");
  int second = frame.SlotNumber(1);
  EXPECT_NE(second, 0);

  a.Disconnect();
  ASSERT_TRUE(frame.WaitSlots(1));
  EXPECT_EQ(frame.SlotNumber(0), 0);
  LineClient d;
  ASSERT_TRUE(d.Connect(frame.port()));
  EXPECT_EQ(d.ReadLine(), "hello\r\n");
  EXPECT_NE(frame.SlotNumber(0), 0);
  EXPECT_EQ(frame.SlotNumber(1), second);
}

TEST(ServiceFrame, APeerTheServiceDoesNotAdmitGetsTheBusyReply) {
  ListenerSetup gated = EchoListener(3, "gated\r\n", "gated busy\r\n");
  std::atomic<bool> admit{true};
  std::vector<std::string> asked;
  std::mutex mutex;
  gated.admit = [&](const std::string& peer) {
    std::lock_guard lock(mutex);
    asked.push_back(peer);
    return admit.load();
  };
  std::vector<std::string> log;
  RunningFrame frame(1, nullptr,
                     [&](std::string_view text) {
                       std::lock_guard lock(mutex);
                       log.emplace_back(text);
                     },
                     {std::move(gated)});
  ASSERT_TRUE(frame.listening());
  LineClient a;
  ASSERT_TRUE(a.Connect(frame.port(1)));
  EXPECT_EQ(a.ReadLine(), "gated\r\n");
  admit = false;
  LineClient refused;
  ASSERT_TRUE(refused.Connect(frame.port(1)));
  std::string rest;
  EXPECT_TRUE(refused.WaitClosed(&rest));
  EXPECT_EQ(rest, "gated busy\r\n");
  EXPECT_EQ(frame.SlotsInUse(1), 1u);
  // The admitted connection is still served; admitting again lets the next one in.
  a.Send("x\r\n");
  EXPECT_EQ(a.ReadLine(), "echo x\r\n");
  admit = true;
  LineClient b;
  ASSERT_TRUE(b.Connect(frame.port(1)));
  EXPECT_EQ(b.ReadLine(), "gated\r\n");
  std::lock_guard lock(mutex);
  EXPECT_EQ(asked, std::vector<std::string>(3, "127.0.0.1"));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0],
            "Connection from 127.0.0.1 refused; that address holds its share of the slots\r\n");
}

TEST(PeerCount, PlacesAreTakenAndGivenBackPerAddress) {
  PeerCount count(2);
  const struct {
    const char* peer;
    bool admitted;
  } takes[] = {{"10.0.0.1", true},  {"10.0.0.1", true}, {"10.0.0.1", false}, {"10.0.0.2", true},
               {"10.0.0.10", true}, {"10.0.0.2", true}, {"10.0.0.2", false}};
  std::vector<PeerCount::Token> held;
  for (const auto& t : takes) {
    EXPECT_EQ(count.Admits(t.peer), t.admitted) << t.peer;
    if (t.admitted) held.push_back(count.Take(t.peer));
  }
  EXPECT_EQ(count.Held("10.0.0.1"), 2u);
  held[0].Reset();  // a logon
  held[0].Reset();  // a second reset gives nothing back twice
  EXPECT_EQ(count.Held("10.0.0.1"), 1u);
  PeerCount::Token moved = std::move(held[1]);
  EXPECT_FALSE(held[1].held());
  held.clear();  // the connections go
  EXPECT_EQ(count.Held("10.0.0.1"), 1u);
  EXPECT_EQ(count.Held("10.0.0.2"), 0u);
  moved = PeerCount::Token();
  EXPECT_EQ(count.Held("10.0.0.1"), 0u);
  EXPECT_TRUE(count.Admits("10.0.0.1"));
}

TEST(ServiceFrame, IdleConnectionIsToldAndClosed) {
  int before = g_destroyed;
  RunningFrame frame(1);
  LineClient client;
  ASSERT_TRUE(client.Connect(frame.port()));
  EXPECT_EQ(client.ReadLine(), "hello\r\n");
  client.Send("idle 30\r\n");
  EXPECT_EQ(client.ReadLine(), "armed\r\n");
  std::string rest;
  EXPECT_TRUE(client.WaitClosed(&rest));
  EXPECT_EQ(rest, "idle\r\n");
  EXPECT_TRUE(frame.WaitSlots(0));
  EXPECT_EQ(g_destroyed - before, 1);
}

TEST(ServiceFrame, PeerCloseFreesTheSlotAndTheHandler) {
  int before = g_destroyed;
  RunningFrame frame(2);
  LineClient client;
  ASSERT_TRUE(client.Connect(frame.port()));
  EXPECT_EQ(client.ReadLine(), "hello\r\n");
  client.Send("half a line without end");
  client.Disconnect();
  EXPECT_TRUE(frame.WaitSlots(0));
  EXPECT_EQ(g_destroyed - before, 1);
}

TEST(ServiceFrame, StopFreesEverySlot) {
  int before = g_destroyed;
  RunningFrame frame(3);
  LineClient a, b;
  ASSERT_TRUE(a.Connect(frame.port()));
  EXPECT_EQ(a.ReadLine(), "hello\r\n");
  ASSERT_TRUE(b.Connect(frame.port()));
  EXPECT_EQ(b.ReadLine(), "hello\r\n");
  frame.Stop();
  EXPECT_EQ(g_destroyed - before, 2);
  EXPECT_TRUE(a.WaitClosed());
  EXPECT_TRUE(b.WaitClosed());
}

TEST(ServiceFrame, ReadsAreBoundedAndLargeRepliesArriveWhole) {
  g_largest_read = 0;
  RunningFrame frame(1);
  LineClient client;
  ASSERT_TRUE(client.Connect(frame.port()));
  EXPECT_EQ(client.ReadLine(), "hello\r\n");
  client.Send(std::string(10000, 'a') + "\r\n");
  EXPECT_EQ(client.ReadLine().size(), 10000u + 7);
  EXPECT_LE(g_largest_read.load(), 1024u);
  client.Send("big 3000000\r\n");
  EXPECT_EQ(client.ReadLine().size(), 3000002u);
}

TEST(ServiceFrame, TrayShowsActivity) {
  std::atomic<int> extra{0};
  RunningFrame frame(2, [&] { return extra.load(); });
  LineClient client;
  ASSERT_TRUE(client.Connect(frame.port()));
  EXPECT_EQ(client.ReadLine(), "hello\r\n");
  EXPECT_EQ(platform::TrayCurrent().icon, platform::kIconBusy);
  client.Disconnect();
  ASSERT_TRUE(frame.WaitSlots(0));
  EXPECT_EQ(platform::TrayCurrent().icon, platform::kIconIdle);
  extra = 1;
  LineClient again;
  ASSERT_TRUE(again.Connect(frame.port()));
  EXPECT_EQ(again.ReadLine(), "hello\r\n");
  again.Disconnect();
  ASSERT_TRUE(frame.WaitSlots(0));
  // A background run still counts after the last connection left.
  EXPECT_EQ(platform::TrayCurrent().icon, platform::kIconBusy);
}

TEST(ServiceFrame, FailedAcceptIsLoggedAndTheListenerGoesOn) {
  std::mutex mutex;
  std::string logged;
  RunningFrame frame(4, nullptr, [&](std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex);
    logged.append(text);
  });
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  // Leave room for the client's socket only: the accept then finds no descriptor.
  int probe = open("/dev/null", O_RDONLY);
  ASSERT_GE(probe, 0);
  close(probe);
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(probe) + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  LineClient client;
  bool connected = client.Connect(frame.port());
  bool saw_failure = false;
  for (int i = 0; i < 400 && connected && !saw_failure; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard<std::mutex> lock(mutex);
    saw_failure = logged.find("Cannot accept connection") != std::string::npos;
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  ASSERT_TRUE(connected);
  EXPECT_TRUE(saw_failure);
  // With descriptors to spare again, the waiting connection is taken.
  EXPECT_EQ(client.ReadLine(), "hello\r\n");
  LineClient next;
  ASSERT_TRUE(next.Connect(frame.port()));
  EXPECT_EQ(next.ReadLine(), "hello\r\n");
}

TEST(ServiceFrame, ListenFailsOnATakenPort) {
  RunningFrame first(1);
  ServiceFrame second(ServiceSetup{});
  Listener& listener = second.AddListener(EchoListener(1));
  // reuse_address does not let two listeners share one port.
  EXPECT_FALSE(listener.Listen(first.port()));
  EXPECT_FALSE(listener.Listen(70000));
  EXPECT_FALSE(listener.listening());
}

// Whether the kernel takes a connection to `address` (IPv4 or IPv6) at `port`.
bool Reaches(const char* address, int port) {
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(static_cast<uint16_t>(port));
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(static_cast<uint16_t>(port));
  bool is_v4 = inet_pton(AF_INET, address, &v4.sin_addr) == 1;
  if (!is_v4 && inet_pton(AF_INET6, address, &v6.sin6_addr) != 1) return false;
  int fd = socket(is_v4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = is_v4 ? connect(fd, reinterpret_cast<sockaddr*>(&v4), sizeof v4) == 0
                  : connect(fd, reinterpret_cast<sockaddr*>(&v6), sizeof v6) == 0;
  close(fd);
  return ok;
}

// A listener given an address takes connections there only; one given something else listens
// nowhere, and never on every address.
TEST(ServiceFrame, ListensOnlyOnItsAddress) {
  ServiceFrame frame(ServiceSetup{});
  Listener& everywhere = frame.AddListener(EchoListener(1));
  ASSERT_TRUE(everywhere.Listen(0));
  ASSERT_TRUE(Reaches("127.0.0.2", everywhere.BoundPort()));  // the loopback answers there

  Listener& v4 = frame.AddListener(EchoListener(1));
  ASSERT_TRUE(v4.Listen(0, "127.0.0.1"));
  EXPECT_TRUE(Reaches("127.0.0.1", v4.BoundPort()));
  EXPECT_FALSE(Reaches("127.0.0.2", v4.BoundPort()));

  Listener& v6 = frame.AddListener(EchoListener(1));
  if (v6.Listen(0, "::1")) {
    EXPECT_TRUE(Reaches("::1", v6.BoundPort()));
    EXPECT_FALSE(Reaches("127.0.0.1", v6.BoundPort()));
  } else {
    std::printf("no IPv6 loopback here: the ::1 listener is not tried\n");
  }

  Listener& none = frame.AddListener(EchoListener(1));
  for (const char* address : {"localhost", "127.0.0.1:25"})
    EXPECT_FALSE(none.Listen(0, address)) << address;
  EXPECT_FALSE(none.listening());
}

TEST(ServiceFrame, TwoListenersKeepTheirOwnSlotsAndGreetings) {
  RunningFrame frame(2, nullptr, nullptr, {EchoListener(1, "pw ready\r\n", "pw busy\r\n")});
  ASSERT_TRUE(frame.listening());
  ASSERT_NE(frame.port(0), frame.port(1));
  LineClient pw;
  ASSERT_TRUE(pw.Connect(frame.port(1)));
  EXPECT_EQ(pw.ReadLine(), "pw ready\r\n");
  // The second listener is full with one connection; the first still has both its slots.
  LineClient pw_more;
  ASSERT_TRUE(pw_more.Connect(frame.port(1)));
  std::string rest;
  EXPECT_TRUE(pw_more.WaitClosed(&rest));
  EXPECT_EQ(rest, "pw busy\r\n");
  LineClient a, b, c;
  ASSERT_TRUE(a.Connect(frame.port(0)));
  EXPECT_EQ(a.ReadLine(), "hello\r\n");
  ASSERT_TRUE(b.Connect(frame.port(0)));
  EXPECT_EQ(b.ReadLine(), "hello\r\n");
  ASSERT_TRUE(c.Connect(frame.port(0)));
  EXPECT_TRUE(c.WaitClosed(&rest));
  EXPECT_EQ(rest, "busy\r\n");
  EXPECT_EQ(frame.SlotsInUse(0), 2u);
  EXPECT_EQ(frame.SlotsInUse(1), 1u);
  EXPECT_EQ(frame.activity(), 3);
  // Both are served by the one loop.
  pw.Send("x\r\n");
  a.Send("y\r\n");
  EXPECT_EQ(pw.ReadLine(), "echo x\r\n");
  EXPECT_EQ(a.ReadLine(), "echo y\r\n");
  pw.Disconnect();
  ASSERT_TRUE(frame.WaitSlots(0, 1));
  LineClient pw_again;
  ASSERT_TRUE(pw_again.Connect(frame.port(1)));
  EXPECT_EQ(pw_again.ReadLine(), "pw ready\r\n");
}

// Sets a file's modification time `seconds` into the past.
void Age(const std::string& path, int seconds) {
  timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= seconds;
  times[1] = times[0];
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// A message write in a child process that dies before it commits; the hidden file it leaves.
std::string InterruptedWrite(const std::string& directory) {
  std::set<std::string> before;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    before.insert(entry.path().string());
  pid_t pid = fork();
  if (pid == 0) {
    MessageFileWriter writer;
    if (writer.Open(directory, kMailboxExtension) != 0) _exit(1);
    writer.Write(std::string(100000, 'm'));
    _exit(0);  // no Commit, no Abandon: as if killed
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    if (before.count(entry.path().string()) == 0) return entry.path().string();
  ADD_FAILURE() << "no temporary file in " << directory;
  return "";
}

TEST(SweepInterruptedWrites, RemovesOnlyOldHiddenMessageFiles) {
  qv::testing::TempDir dir;
  std::string mail = dir.Sub("mail"), temp = dir.Sub("temp");
  for (const char* sub : {"mail/bob", "mail/forward", "mail/bob/deeper", "temp", "elsewhere"})
    std::filesystem::create_directories(dir.Sub(sub));
  std::string in_box = InterruptedWrite(mail + "/bob");
  std::string in_queue = InterruptedWrite(mail + "/forward");
  std::string in_temp = InterruptedWrite(temp);
  std::vector<std::string> gone = {in_box, in_queue, in_temp};
  std::vector<std::string> kept = {
      InterruptedWrite(mail + "/bob"),  // young: a write may still be under way
      mail + "/bob/26120811300000.in",
      mail + "/bob/.qvmsg-abc.tmp",      // not the writer's name
      mail + "/bob/.qvmsg-abcdef.tmpx",  // not the writer's name
      temp + "/qv11300000.tmp",          // a spool file, not a message write
      mail + "/.qvmsg-abcdef.tmp",       // the mail folder itself holds no messages
      mail + "/bob/deeper/.qvmsg-abcdef.tmp",
      dir.Sub("elsewhere/.qvmsg-abcdef.tmp"),
  };
  for (size_t i = 1; i < kept.size(); ++i) qv::testing::WriteFileText(kept[i], "x");
  // A folder and a link of the writer's name are left alone, and so is what the link points at.
  std::filesystem::create_directory(mail + "/forward/.qvmsg-dddddd.tmp");
  kept.push_back(mail + "/forward/.qvmsg-dddddd.tmp");
  std::filesystem::create_symlink(dir.Sub("elsewhere/.qvmsg-abcdef.tmp"),
                                  mail + "/forward/.qvmsg-llllll.tmp");
  kept.push_back(mail + "/forward/.qvmsg-llllll.tmp");
  // A link to a folder elsewhere is not followed.
  std::filesystem::create_directory_symlink(dir.Sub("elsewhere"), mail + "/linked");
  for (size_t i = 1; i < kept.size(); ++i) Age(kept[i], 3600);
  for (const auto& path : gone) Age(path, 120);

  EXPECT_EQ(SweepInterruptedWrites(mail, temp, std::time(nullptr) - 60), gone.size());
  for (const auto& path : gone) EXPECT_FALSE(std::filesystem::exists(path)) << path;
  for (const auto& path : kept)
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(path))) << path;
  // Missing folders are no error.
  EXPECT_EQ(SweepInterruptedWrites(dir.Sub("none"), dir.Sub("none2"), std::time(nullptr)), 0u);
}

// Whole runs of the frame against a temporary system root, stopped as soon as they started (the
// trace levels and the removal of interrupted writes at start are tested with the real programs).
class FrameRun : public ::testing::Test {
 protected:
  void SetUp() override {
    reg::Key key;
    ASSERT_EQ(reg::CreateKey(kControlKey, "", &key), reg::kSuccess);
    reg::SetString(&key, "MailPath", root_.path() + "/mail");
    reg::SetString(&key, "TempPath", root_.path() + "/temp");
    reg::SetString(&key, "LogPath", root_.path() + "/log");
    reg::SetDword(&key, "LogLevel", 5);
    reg::CloseKey(&key);
  }
  // A frame with an echo listener on a free port and a second one ("password") on `second_port`,
  // run until it has started. Sets started_ and failed_.
  int Run(int second_port, std::function<bool(const Listener&)> listen_failed,
          std::string address = {}) {
    ServiceSetup setup;
    setup.window_class = "QuorvaneFrameRunTest";
    setup.log = [this](int level, int, const char*, std::string_view text) {
      logged_ += std::to_string(level) + " " + std::string(text);
    };
    setup.listen_failed = [this, listen_failed](const Listener& listener) {
      failed_.push_back(listener.name());
      return listen_failed && listen_failed(listener);
    };
    ServiceFrame* frame = nullptr;
    setup.on_started = [this, &frame] {
      started_ = true;
      open_ = {frame->listener(0).listening(), frame->listener(1).listening()};
      frame->loop().Post([frame] { frame->Stop(); });
    };
    ServiceFrame run(std::move(setup));
    frame = &run;
    ListenerSetup first = EchoListener(2);
    first.port = [] { return 0; };
    first.address = [address] { return address; };
    run.AddListener(std::move(first));
    ListenerSetup second = EchoListener(1);
    second.name = "password";
    second.port = [second_port] { return second_port; };
    run.AddListener(std::move(second));
    return run.Run();
  }

  qv::testing::ScopedSystemRoot root_;
  bool started_ = false;
  std::vector<bool> open_;
  std::vector<std::string> failed_;
  std::string logged_;
};

// An address that is none ends the start before any listener opens, with a line in the log;
// an address that is one is used.
TEST_F(FrameRun, AListenAddressThatIsNoneKeepsTheServiceFromStarting) {
  EXPECT_EQ(Run(0, nullptr, "mail.example.test\r\nforged"), 1);
  EXPECT_FALSE(started_);
  EXPECT_TRUE(failed_.empty());
  EXPECT_EQ(logged_,
            "1 Not started: ListenAddress 'mail.example.test??forged' is not an IPv4 or IPv6 "
            "address\r\n");
  logged_.clear();
  EXPECT_EQ(Run(0, nullptr, "127.0.0.1"), 0);
  EXPECT_TRUE(started_);
  EXPECT_EQ(open_, (std::vector<bool>{true, true}));
}

TEST_F(FrameRun, AListenerThatCannotOpenIsReportedAndTheServiceDecides) {
  RunningFrame holder(1);  // holds the second listener's port
  EXPECT_EQ(Run(holder.port(), [](const Listener&) { return true; }), 0);
  EXPECT_TRUE(started_);
  EXPECT_EQ(open_, (std::vector<bool>{true, false}));
  EXPECT_EQ(failed_, std::vector<std::string>{"password"});

  started_ = false;
  failed_.clear();
  EXPECT_EQ(Run(holder.port(), [](const Listener&) { return false; }), 1);
  EXPECT_FALSE(started_);
  EXPECT_EQ(failed_, std::vector<std::string>{"password"});
  // Both free: nothing to report.
  failed_.clear();
  EXPECT_EQ(Run(0, [](const Listener&) { return false; }), 0);
  EXPECT_EQ(open_, (std::vector<bool>{true, true}));
  EXPECT_TRUE(failed_.empty());
}

}  // namespace
}  // namespace qv
