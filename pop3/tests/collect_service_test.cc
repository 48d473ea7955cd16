// The account checks inside the running service: clients are served while a check runs, the
// check counts as activity, ticks during a check start no second check of its account, a
// stalling server holds up no other account, and a stop ends the checks at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "pop3/collect_runner.h"
#include "pop3/service.h"
#include "pop3/tests/collect_util.h"
#include "pop3/tests/pop3_util.h"

namespace qv::pop3 {
namespace {

using testing::Client;
using testing::Pop3TestSystem;
using testing::ScriptedPop3Server;

class CollectServiceTest : public ::testing::Test {
 protected:
  CollectServiceTest() : remote_("remote", "secret") {
    sys_.AddUser("ann", "pw", "ann");
    AddAccount("shared", remote_);
  }

  // A shared account on `server`, checked at every tick.
  void AddAccount(const std::string& name, ScriptedPop3Server& server) {
    ACCOUNTSTRUCT a{};
    CopyField(a.Name, name);
    CopyField(a.Server, "127.0.0.1:" + std::to_string(server.port()));
    CopyField(a.Account, "remote");
    CopyField(a.Password, "secret");
    a.Interval = 60;
    a.Options = kAccountShared;
    AddRecord(sys_.system(), &a);
  }

  // A service whose fetched messages are only counted in `delivered`, listening on a free
  // port, started, with a check due every 100 ms; its loop runs on `loop`.
  std::unique_ptr<Pop3Service> StartCounting(std::atomic<int>& delivered, std::thread* loop) {
    Pop3ServiceOptions options;
    options.account_period = std::chrono::milliseconds(100);
    options.deliver_fetched = [&delivered](const std::vector<std::string>&, std::string_view, int) {
      ++delivered;
      return true;
    };
    auto service = std::make_unique<Pop3Service>(options);
    service->settings() = sys_.settings();
    EXPECT_TRUE(service->listener().Listen(0));
    service->Started();
    *loop = std::thread([s = service.get()] { s->frame().loop().Run(); });
    return service;
  }

  // Stops the service and every check under way; how long that took.
  static std::chrono::steady_clock::duration Stop(Pop3Service& service, std::thread& loop) {
    auto start = std::chrono::steady_clock::now();
    service.frame().loop().Post([&] { service.frame().Stop(); });
    loop.join();
    service.collection()->Stop();
    auto took = std::chrono::steady_clock::now() - start;
    service.frame().CloseAll();
    return took;
  }

  // Runs `fn` on the service's loop and returns its result.
  template <class F>
  auto OnLoop(Pop3Service& service, F fn) {
    std::promise<decltype(fn())> result;
    service.frame().loop().Post([&] { result.set_value(fn()); });
    return result.get_future().get();
  }

  Pop3TestSystem sys_;
  ScriptedPop3Server remote_;
};

TEST_F(CollectServiceTest, ClientsAreServedWhileAnAccountIsChecked) {
  for (int i = 0; i < 3; ++i) remote_.AddMessage("Subject: " + std::to_string(i) + "\r\n\r\nx\r\n");
  remote_.faults().retr_delay_ms = 1500;  // each message takes a while
  std::atomic<int> delivered{0};
  std::thread loop;
  auto owned = StartCounting(delivered, &loop);
  Pop3Service& service = *owned;
  int port = service.listener().BoundPort();

  // Wait for the check to be under way.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  while (remote_.Commands().size() < 5 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(OnLoop(service, [&] { return service.collection()->active(); }), 1);

  // A client gets its replies at once while the check waits on the slow server.
  auto start = std::chrono::steady_clock::now();
  Client c(port);
  EXPECT_EQ(c.Line().substr(0, 4), "+OK ");
  EXPECT_EQ(c.Ask("USER ann"), "+OK <ann>\r\n");
  EXPECT_EQ(c.Ask("PASS pw"), "+OK\r\n");
  EXPECT_EQ(c.Ask("STAT"), "+OK 0 0\r\n");
  // Well inside one message's wait: a loop held by the check would answer after all three.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1200));
  // Connection plus check.
  EXPECT_EQ(OnLoop(service, [&] { return service.frame().activity(); }), 2);
  EXPECT_EQ(c.Ask("QUIT"), "+OK\r\n");

  // Many ticks passed during the check; none started another.
  while (delivered < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(delivered, 3);
  while (remote_.connections() < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(remote_.connections(), 2);  // the next tick after the check checks again
  // ... but only once the first conversation had ended: its QUIT comes before the second USER.
  size_t quit = 0, second_user = 0;
  while (second_user == 0 && std::chrono::steady_clock::now() < deadline) {
    std::vector<std::string> commands = remote_.Commands();
    size_t users = 0;
    for (size_t i = 0; i < commands.size(); ++i) {
      if (commands[i].rfind("QUIT", 0) == 0 && quit == 0) quit = i;
      if (commands[i].rfind("USER", 0) == 0 && ++users == 2) second_user = i;
    }
    if (second_user == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(quit, 0u);
  EXPECT_GT(second_user, quit);

  // Stopping ends a check that waits on the server without waiting for it.
  remote_.AddMessage("Subject: slow\r\n\r\nx\r\n");
  remote_.faults().retr_delay_ms = 5000;
  while (remote_.connections() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_LT(Stop(service, loop), std::chrono::milliseconds(3000));
}

TEST_F(CollectServiceTest, AStallingServerHoldsUpOnlyItsOwnAccount) {
  // The first account's server sends its message a line every 20 ms for ever: its check would
  // last the message's ten-minute time limit. The second account's server answers at once.
  ScriptedPop3Server quick("remote", "secret");
  AddAccount("zquick", quick);
  remote_.AddMessage("Subject: endless\r\n\r\nmore\r\n");
  remote_.faults().trickle_ms = 20;
  remote_.faults().trickle_repeat = 1000000;
  quick.AddMessage("Subject: quick\r\n\r\nx\r\n");
  std::atomic<int> delivered{0};
  auto start = std::chrono::steady_clock::now();
  std::thread loop;
  auto owned = StartCounting(delivered, &loop);
  Pop3Service& service = *owned;
  auto wait_for = [&](int count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (delivered < count && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return delivered == count;
  };
  EXPECT_TRUE(wait_for(1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // Later ticks check the quick account again while the other check still runs.
  quick.AddMessage("Subject: again\r\n\r\nx\r\n");
  EXPECT_TRUE(wait_for(2));
  // The message is delivered before the QUIT that deletes it on the server.
  EXPECT_TRUE(qv::testing::WaitUntil([&] { return quick.MessageCount() == 0u; }));
  EXPECT_EQ(remote_.MessageCount(), 1u);
  EXPECT_GE(OnLoop(service, [&] { return service.collection()->active(); }), 1);
  EXPECT_EQ(remote_.connections(), 1);

  EXPECT_LT(Stop(service, loop), std::chrono::milliseconds(3000));
  EXPECT_EQ(delivered, 2);
}

}  // namespace
}  // namespace qv::pop3
