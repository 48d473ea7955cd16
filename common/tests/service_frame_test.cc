#include "common/service_frame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "common/testing/line_client.h"
#include "platform/tray.h"

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

// A frame listening on a free loopback port with its loop on a thread of its own.
class RunningFrame {
 public:
  explicit RunningFrame(size_t slots, std::function<int()> extra = nullptr) {
    ServiceSetup setup;
    setup.window_class = "QuorvaneFrameTest";
    setup.slot_count = slots;
    setup.read_size = 1024;
    setup.greeting = [] { return std::string("hello\r\n"); };
    setup.busy_reply = [] { return std::string("busy\r\n"); };
    setup.make_handler = [](ConnectionLink& link, const std::string&) {
      return std::make_unique<EchoHandler>(link);
    };
    setup.extra_activity = std::move(extra);
    frame_ = std::make_unique<ServiceFrame>(std::move(setup));
    listening_ = frame_->Listen(0);
    platform::TrayAdd(platform::kIconIdle, "test");
    thread_ = std::thread([this] { frame_->loop().Run(); });
  }
  ~RunningFrame() { Stop(); }

  bool listening() const { return listening_; }
  int port() const { return frame_->BoundPort(); }

  template <typename F>
  auto Query(F fn) {
    std::promise<decltype(fn())> promise;
    frame_->loop().Post([&] { promise.set_value(fn()); });
    return promise.get_future().get();
  }

  size_t SlotsInUse() {
    return Query([this] { return frame_->SlotsInUse(); });
  }
  int SlotNumber(size_t i) {
    return Query([this, i] { return frame_->SlotNumber(i); });
  }

  // Waits (with a guard) until the frame holds `n` connections.
  bool WaitSlots(size_t n) {
    for (int i = 0; i < 2000; ++i) {
      if (SlotsInUse() == n) return true;
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

TEST(WorkerPool, WorkRunsOffTheLoopAndCompletionsOnIt) {
  platform::EventLoop loop;
  std::thread::id loop_thread;
  std::atomic<int> worked{0};
  std::vector<std::thread::id> work_threads(20), done_threads(20);
  int done = 0;
  {
    WorkerPool pool(loop, 4);
    loop.Post([&] { loop_thread = std::this_thread::get_id(); });
    for (int i = 0; i < 20; ++i) {
      pool.Submit(
          [&, i] {
            work_threads[i] = std::this_thread::get_id();
            ++worked;
          },
          [&, i] {
            done_threads[i] = std::this_thread::get_id();
            if (++done == 20) loop.Quit();
          });
    }
    loop.Run();
  }
  EXPECT_EQ(worked, 20);
  EXPECT_EQ(done, 20);
  for (int i = 0; i < 20; ++i) {
    EXPECT_NE(work_threads[i], loop_thread);
    EXPECT_EQ(done_threads[i], loop_thread);
  }
}

TEST(WorkerPool, QueuedWorkIsFinishedBeforeThePoolEnds) {
  platform::EventLoop loop;
  std::atomic<int> worked{0};
  {
    WorkerPool pool(loop, 1);
    for (int i = 0; i < 50; ++i) pool.Submit([&] { ++worked; }, nullptr);
  }
  EXPECT_EQ(worked, 50);
}

TEST(ServiceFrame, ListenFailsOnATakenPort) {
  RunningFrame first(1);
  ServiceSetup setup;
  setup.slot_count = 1;
  ServiceFrame second(std::move(setup));
  // reuse_address does not let two listeners share one port.
  EXPECT_FALSE(second.Listen(first.port()));
  EXPECT_FALSE(second.Listen(70000));
}

}  // namespace
}  // namespace qv
