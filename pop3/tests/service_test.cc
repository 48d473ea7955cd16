// The service frame with POP3 connections, in this process: slots, line buffers, transfers that
// share the loop, idle connections, the log.
#include "pop3/service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "common/config.h"
#include "common/maillog.h"
#include "common/testing/test_env.h"
#include "pop3/message.h"
#include "pop3/pop3_texts.h"
#include "pop3/tests/pop3_util.h"

namespace qv::pop3 {
namespace {

using testing::Client;
using testing::Pop3TestSystem;

// The service listening on a free loopback port, its loop on a thread of its own.
class RunningService {
 public:
  explicit RunningService(const Settings& settings, Pop3ServiceOptions options = {})
      : service_(options) {
    service_.settings() = settings;
    EXPECT_TRUE(service_.listener().Listen(0));
    port_ = service_.listener().BoundPort();
    service_.Started();
    thread_ = std::thread([this] { service_.frame().loop().Run(); });
  }
  ~RunningService() {
    service_.frame().loop().Post([this] { service_.frame().Stop(); });
    thread_.join();
    service_.frame().CloseAll();
  }
  int port() const { return port_; }

 private:
  Pop3Service service_;
  std::thread thread_;
  int port_ = 0;
};

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest() { sys_.AddUser("ann", "pw", "ann"); }

  // A client past the greeting and logged on as ann.
  std::unique_ptr<Client> LoggedOn(int port) {
    auto c = std::make_unique<Client>(port);
    EXPECT_EQ(c->Line().substr(0, 4), "+OK ");
    EXPECT_EQ(c->Ask("USER ann"), "+OK <ann>\r\n");
    EXPECT_EQ(c->Ask("PASS pw"), "+OK\r\n");
    return c;
  }

  Pop3TestSystem sys_;
};

TEST_F(ServiceTest, GreetingConversationAndQuit) {
  sys_.AddMessage("ann", "Subject: hi\r\n\r\n.\r\n..stuffed\r\nend");
  RunningService service(sys_.settings());
  Client c(service.port());
  std::string greeting = c.Line();
  std::string expected = "+OK Quorvane POP3 Server (v1.00 " + std::string(kInstallationText) +
                         ") for Windows 95 ready at ";
  EXPECT_EQ(greeting.substr(0, expected.size()), expected);
  EXPECT_GT(greeting.size(), expected.size() + 20);  // the date text
  EXPECT_EQ(greeting.substr(greeting.size() - 2), "\r\n");
  EXPECT_EQ(c.Ask("USER ann"), "+OK <ann>\r\n");
  EXPECT_EQ(c.Ask("PASS pw"), "+OK\r\n");
  EXPECT_EQ(c.Ask("RETR 1").substr(0, 4), "+OK ");
  EXPECT_EQ(c.UpTo("\r\n.\r\n"), "Subject: hi\r\n\r\n..\r\n..stuffed\r\nend\r\n.\r\n");
  EXPECT_EQ(c.Ask("TOP 1 0"), "+OK\r\n");
  EXPECT_EQ(c.UpTo("\r\n.\r\n"), "Subject: hi\r\n.\r\n");
  EXPECT_EQ(c.Ask("DELE 1"), "+OK\r\n");
  EXPECT_EQ(c.Ask("QUIT"), "+OK\r\n");
  EXPECT_TRUE(c.Closed());
  EXPECT_TRUE(sys_.MailboxFiles("ann").empty());
  EXPECT_TRUE(sys_.TempFiles().empty());
}

TEST_F(ServiceTest, CommandsSplitOverReadsAndTwoLinesInOneRead) {
  RunningService service(sys_.settings());
  auto c = LoggedOn(service.port());
  c->Send("ST");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  c->Send("AT\r");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  c->Send("\n");
  EXPECT_EQ(c->Line(), "+OK 0 0\r\n");
  // Several commands in one read are all answered, in order.
  c->Send("STAT\r\nNOOP\r\nLA");
  EXPECT_EQ(c->Line(), "+OK 0 0\r\n");
  EXPECT_EQ(c->Line(), "+OK\r\n");
  c->Send("ST\r\n");
  EXPECT_EQ(c->Line(), "+OK 0\r\n");
}

TEST_F(ServiceTest, CommandsSentBehindARetrFollowTheMessage) {
  sys_.AddMessage("ann", "Subject: one\r\n\r\nfirst");
  sys_.AddMessage("ann", "Subject: two\r\n\r\nsecond");
  RunningService service(sys_.settings());
  Client c(service.port());
  c.Line();
  c.Send("USER ann\r\nPASS pw\r\nRETR 1\r\nRETR 2\r\nDELE 1\r\nQUIT\r\n");
  EXPECT_EQ(c.Line(), "+OK <ann>\r\n");
  EXPECT_EQ(c.Line(), "+OK\r\n");
  EXPECT_EQ(c.Line().substr(0, 4), "+OK ");
  std::string first = c.UpTo("\r\n.\r\n");
  EXPECT_EQ(c.Line().substr(0, 4), "+OK ");
  std::string second = c.UpTo("\r\n.\r\n");
  std::set<std::string> both = {first, second};
  EXPECT_EQ(both, (std::set<std::string>{"Subject: one\r\n\r\nfirst\r\n.\r\n",
                                         "Subject: two\r\n\r\nsecond\r\n.\r\n"}));
  EXPECT_EQ(c.Line(), "+OK\r\n");
  EXPECT_EQ(c.Line(), "+OK\r\n");
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(sys_.MailboxFiles("ann").size(), 1u);
}

TEST_F(ServiceTest, EachConnectionHasItsOwnLineBuffer) {
  RunningService service(sys_.settings());
  auto a = LoggedOn(service.port());
  auto b = LoggedOn(service.port());
  a->Send("NO");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  b->Send("ST");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  a->Send("OP\r\n");
  b->Send("AT\r\n");
  EXPECT_EQ(a->Line(), "+OK\r\n");
  EXPECT_EQ(b->Line(), "+OK 0 0\r\n");
}

TEST_F(ServiceTest, SixthConnectionIsRefusedAndAFreedSlotIsReused) {
  RunningService service(sys_.settings());
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(std::make_unique<Client>(service.port()));
    EXPECT_EQ(clients.back()->Line().substr(0, 4), "+OK ");
  }
  Client sixth(service.port());
  EXPECT_EQ(sixth.Line(), kErrTooManyConnections);
  EXPECT_TRUE(sixth.Closed());
  EXPECT_EQ(clients[2]->Ask("QUIT"), "+OK\r\n");
  EXPECT_TRUE(clients[2]->Closed());
  // The slot is free again once the service saw the close; retry until then.
  std::string line;
  for (int attempt = 0; attempt < 100; ++attempt) {
    Client again(service.port());
    line = again.Line();
    if (line.substr(0, 4) == "+OK ") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(line.substr(0, 4), "+OK ");
}

TEST_F(ServiceTest, LineTooLongClosesWithoutDeletions) {
  sys_.AddMessage("ann", "Subject: keep\r\n\r\nbody");
  RunningService service(sys_.settings());
  auto c = LoggedOn(service.port());
  EXPECT_EQ(c->Ask("DELE 1"), "+OK\r\n");
  c->Send(std::string(5000, 'x'));
  EXPECT_EQ(c->Line(), kErrLineTooLong);
  EXPECT_TRUE(c->Closed());
  EXPECT_EQ(sys_.MailboxFiles("ann").size(), 1u);
  // Exactly 2047 bytes and CR LF fit no more; 2046 and CR LF do.
  auto d = LoggedOn(service.port());
  d->Send(std::string(2046, 'x') + "\r\n");
  EXPECT_EQ(d->Line(), kErrUnknownMessage);
  d->Send(std::string(2047, 'x') + "\r\n");
  EXPECT_EQ(d->Line(), kErrLineTooLong);
  EXPECT_TRUE(d->Closed());
}

TEST_F(ServiceTest, BinaryInputGetsRepliesNotACrash) {
  RunningService service(sys_.settings());
  Client c(service.port());
  c.Line();
  c.Send(std::string("\0\xff\x01USER\0ann\r\n", 13));
  EXPECT_EQ(c.Line(), kErrUnknownMessage);
  c.Send(std::string("USER a\0b\r\n", 10));
  EXPECT_EQ(c.Line(), "+OK <a>\r\n");
  EXPECT_EQ(c.Ask("PASS pw"), kErrInvalidUsername);
  EXPECT_EQ(c.Ask("QUIT"), "+OK\r\n");
}

TEST_F(ServiceTest, IdleConnectionIsClosedWithoutDeletions) {
  sys_.AddMessage("ann", "Subject: keep\r\n\r\nbody");
  Pop3ServiceOptions options;
  options.idle_limit = std::chrono::milliseconds(300);
  RunningService service(sys_.settings(), options);
  auto c = LoggedOn(service.port());
  EXPECT_EQ(c->Ask("DELE 1"), "+OK\r\n");
  EXPECT_TRUE(c->Closed());  // nothing more is sent: the service ends the connection
  EXPECT_EQ(sys_.MailboxFiles("ann").size(), 1u);
}

// A message larger than the socket buffers on both sides, with lone dots at many places.
// The data lines of the log are left out, to keep these runs short.
std::string LargeMessage(Pop3TestSystem& sys) {
  sys.system().LogLevel = 4;
  std::string text = "Subject: large\r\n\r\n";
  for (int i = 0; text.size() < 6 * 1024 * 1024; ++i) {
    text += "line " + std::to_string(i) + " " + std::string(static_cast<size_t>(i % 200), 'z');
    text += i % 97 == 0 ? "\r\n.\r\n" : "\r\n";
  }
  return text + "last";
}

std::string Stuffed(const std::string& text) {
  DotStuffer s;
  std::string out;
  s.Encode(text, &out);
  s.Finish(&out);
  return out;
}

TEST_F(ServiceTest, ATransferWaitsForTheReaderWhileOthersAreServed) {
  std::string text = LargeMessage(sys_);
  sys_.AddMessage("ann", text);
  RunningService service(sys_.settings());
  auto slow = LoggedOn(service.port());
  std::string reply = slow->Ask("RETR 1");
  EXPECT_EQ(reply, "+OK " + std::to_string(text.size()) + " octets\r\n");
  // The slow reader reads nothing yet; a second client is served meanwhile.
  auto other = LoggedOn(service.port());
  EXPECT_EQ(other->Ask("STAT"), "+OK 1 " + std::to_string(text.size()) + "\r\n");
  EXPECT_EQ(other->Ask("QUIT"), "+OK\r\n");
  // A command sent during the transfer is answered after the message.
  slow->Send("NOOP\r\n");
  EXPECT_EQ(slow->UpTo("\r\n.\r\n"), Stuffed(text) + "\r\n.\r\n");
  EXPECT_EQ(slow->Line(), "+OK\r\n");
}

TEST_F(ServiceTest, AClientThatLeavesInTheMiddleOfATransfer) {
  sys_.AddMessage("ann", LargeMessage(sys_));
  RunningService service(sys_.settings());
  for (int i = 0; i < 3; ++i) {
    auto c = LoggedOn(service.port());
    c->Ask("RETR 1");
    c->Close();
  }
  auto d = LoggedOn(service.port());
  EXPECT_EQ(d->Ask("STAT").substr(0, 6), "+OK 1 ");
  EXPECT_EQ(d->Ask("QUIT"), "+OK\r\n");
  EXPECT_TRUE(sys_.TempFiles().empty());
}

TEST_F(ServiceTest, TheLogHasTheConnectionAndNoPassword) {
  RunningService service(sys_.settings());
  auto c = LoggedOn(service.port());
  EXPECT_EQ(c->Ask("QUIT"), "+OK\r\n");
  EXPECT_TRUE(c->Closed());
  std::string log;
  for (const auto& entry : std::filesystem::directory_iterator(sys_.system().LogPath))
    log += qv::testing::ReadFileText(entry.path().string());
  EXPECT_NE(log.find("00000  "), std::string::npos);
  EXPECT_NE(log.find("*** POP3-User connect\r\n"), std::string::npos);
  EXPECT_NE(log.find("--> USER ann\r\n"), std::string::npos);
  EXPECT_NE(log.find("--> PASS **********\r\n"), std::string::npos);
  EXPECT_EQ(log.find("pw\r\n"), std::string::npos);
  EXPECT_NE(log.find("<-- +OK <ann>\r\n"), std::string::npos);
  EXPECT_EQ(log.find("Quorvane POP3 Server"), std::string::npos);  // the greeting is not logged
}

// The reply of RETR and TOP is logged after its command and before the message's data lines.
TEST_F(ServiceTest, TheReplyOfAMessageIsLoggedInItsPlace) {
  const std::string text = "Subject: logged\r\n\r\nbody line";
  sys_.AddMessage("ann", text);
  for (int level : {5, 4}) {
    sys_.system().LogLevel = level;
    std::filesystem::remove_all(sys_.system().LogPath);
    CloseLogFiles();  // the next entry makes the folder and the file again
    {
      RunningService service(sys_.settings());
      auto c = LoggedOn(service.port());
      EXPECT_EQ(c->Ask("RETR 1"), "+OK " + std::to_string(text.size()) + " octets\r\n");
      EXPECT_EQ(c->UpTo("\r\n.\r\n"), text + "\r\n.\r\n");
      EXPECT_EQ(c->Ask("TOP 1 0"), "+OK\r\n");
      EXPECT_EQ(c->UpTo("\r\n.\r\n"), "Subject: logged\r\n.\r\n");
      EXPECT_EQ(c->Ask("QUIT"), "+OK\r\n");
    }
    std::string log;
    for (const auto& entry : std::filesystem::directory_iterator(sys_.system().LogPath))
      log += qv::testing::ReadFileText(entry.path().string());
    size_t retr = log.find("--> RETR 1\r\n");
    size_t retr_reply = log.find("<-- +OK " + std::to_string(text.size()) + " octets\r\n");
    size_t retr_data = log.find("<DATA> Subject: logged\r\n");
    size_t top = log.find("--> TOP 1 0\r\n");
    size_t top_reply = log.find("<-- +OK\r\n", top);
    size_t top_data = log.find("<DATA> Subject: logged\r\n", top);
    size_t quit = log.find("--> QUIT\r\n");
    ASSERT_NE(quit, std::string::npos) << level;
    EXPECT_LT(retr, retr_reply) << level;
    EXPECT_LT(retr_reply, top) << level;
    EXPECT_LT(top, top_reply) << level;
    EXPECT_LT(top_reply, quit) << level;
    if (level == 5) {
      EXPECT_LT(retr_reply, retr_data);
      EXPECT_LT(retr_data, top);
      EXPECT_LT(top_reply, top_data);
      EXPECT_LT(top_data, quit);
    } else {
      EXPECT_EQ(retr_data, std::string::npos);
    }
  }
}
}  // namespace
}  // namespace qv::pop3

namespace qv::pop3 {
namespace {

// Failed logons of one address are counted across its connections: each answer to a logon from
// there waits for the back-off, a right password too, and the start of the back-off is logged
// once.
TEST_F(ServiceTest, LogonsOfAnAddressWaitForItsBackOff) {
  RunningService service(sys_.settings());
  using Clock = std::chrono::steady_clock;
  const struct {
    const char* password;
    const char* reply;
    std::chrono::milliseconds least;  // the answer comes no earlier
  } cases[] = {
      {"wrong", kErrInvalidPassword, std::chrono::milliseconds(900)},
      {"wrong", kErrInvalidPassword, std::chrono::milliseconds(1900)},
      {"pw", "+OK\r\n", std::chrono::milliseconds(0)},  // the back-off has passed
  };
  for (const auto& c : cases) {
    Client client(service.port());
    client.Line();
    EXPECT_EQ(client.Ask("USER ann"), "+OK <ann>\r\n");
    auto start = Clock::now();
    EXPECT_EQ(client.Ask(std::string("PASS ") + c.password), c.reply);
    EXPECT_GE(Clock::now() - start, c.least) << c.password;
  }
  // A right password while the back-off lasts waits for its end.
  Client guesser(service.port());
  guesser.Line();
  guesser.Ask("USER ann");
  guesser.Send("PASS wrong\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Client right(service.port());
  right.Line();
  right.Ask("USER ann");
  auto start = Clock::now();
  EXPECT_EQ(right.Ask("PASS pw"), "+OK\r\n");
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(guesser.Line(), kErrInvalidPassword);
  std::string log;
  for (const auto& entry : std::filesystem::directory_iterator(sys_.system().LogPath))
    log += qv::testing::ReadFileText(entry.path().string());
  size_t first = log.find("Logons from 127.0.0.1 are answered late");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("Logons from 127.0.0.1 are answered late", first + 1), std::string::npos);
}

}  // namespace
}  // namespace qv::pop3
