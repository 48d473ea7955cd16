#include "net/control_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/tests/chunk_server.h"

namespace qv {
namespace {

using testing::ChunkServer;

const char kGreeting[] = "Quorvane Control Service (v1.00 Linux) for Windows 95 ready at now\r\n";

TEST(ControlClientTest, RepliesSplitAnywhereAreReassembled) {
  ChunkServer server(
      {std::string(kGreeting) + "User", "name: ", "Pass",
       "word: ", "Login OK (Enter HELP for command help)\r\n", ">", "User added successful\r\n",
       ">", "#||||||0|||||", "\r\n>", "\r\n>bob|example.com|pw|||", "|0|||||",
       "Cannot add user !\r\n>", "10.0.0.1 closing connection\r\n"},
      200);
  ControlClient client(-1, 5000);
  ASSERT_EQ(client.Login("127.0.0.1", server.port(), "admin", "pw"), ControlLogin::kOk);
  Result<std::string> added = client.Command("USER ADD x@y");
  ASSERT_TRUE(added.ok()) << added.error();
  EXPECT_EQ(*added, "User added successful\r\n");
  Result<std::string> end = client.Stream("GETSTREAM USER #9");
  ASSERT_TRUE(end.ok());
  EXPECT_EQ(*end, "#||||||0|||||");
  Result<std::string> empty = client.Stream("GETSTREAM USER nobody");
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(*empty, "");
  Result<std::string> record = client.Record("GETSTREAM USER #0", 11);
  ASSERT_TRUE(record.ok());
  EXPECT_EQ(*record, "bob|example.com|pw||||0|||||");
  Result<std::string> failed = client.Command("USER ADD x@y");
  ASSERT_TRUE(failed.ok());
  EXPECT_TRUE(IsControlFailure(*failed));
  Result<std::string> quit = client.Quit();
  ASSERT_TRUE(quit.ok()) << quit.error();
  EXPECT_EQ(*quit, "10.0.0.1 closing connection\r\n");
  EXPECT_FALSE(client.connected());
}

TEST(ControlClientTest, LoginOutcomes) {
  struct Case {
    std::vector<std::string> chunks;
    ControlLogin result;
  } cases[] = {
      {{std::string(kGreeting) + "Username: ", "Password: ", "Invalid password\r\nPassword: "},
       ControlLogin::kBadPassword},
      {{std::string(kGreeting) + "Username: ", "Password: ", "Invalid user name\r\nUsername: "},
       ControlLogin::kUnknownUser},
      {{std::string(kGreeting) + "Username: ", "Password: ",
        "You have no permissions to config the software\r\nUsername: "},
       ControlLogin::kNoPermission},
      {{std::string(kGreeting) + "Username: ", "Invalid user name\r\nUsername: "},
       ControlLogin::kUnknownUser},
      {{"Too many connections\r\n"}, ControlLogin::kNoGreeting},
      {{std::string(kGreeting) + "Username: ", "Password: ", "Go away\r\nUsername: "},
       ControlLogin::kBadPassword},
      {{std::string(kGreeting) + "Username: ", "Password: "}, ControlLogin::kBroken},
  };
  for (const Case& c : cases) {
    ChunkServer server(c.chunks, 50);
    ControlClient client(-1, 2000);
    EXPECT_EQ(client.Login("127.0.0.1", server.port(), "admin", "pw"), c.result) << c.chunks.back();
  }
}

TEST(ControlClientTest, SilentOrEndlessPeersEndTheRead) {
  {
    ChunkServer server({std::string(kGreeting)}, 400);
    ControlClient client(-1, 100);
    EXPECT_EQ(client.Login("127.0.0.1", server.port(), "admin", "pw"),
              ControlLogin::kNoGreeting);
  }
  {
    std::vector<std::string> flood = {std::string(kGreeting) + "Username: ", "Password: ",
                                      "Login OK (Enter HELP for command help)\r\n>"};
    for (int i = 0; i < 40; ++i) flood.push_back(std::string(4000, 'x'));
    ChunkServer server(flood, 50);
    ControlClient client(-1, 2000);
    ASSERT_EQ(client.Login("127.0.0.1", server.port(), "admin", "pw"), ControlLogin::kOk);
    Result<std::string> reply = client.Command("SET");
    EXPECT_FALSE(reply.ok());
    EXPECT_FALSE(client.connected());
  }
}

TEST(ControlClientTest, FailureRepliesAndSeparatorCounts) {
  for (const char* failure : {"Cannot add user !\r\n>", "Invalid Command\r\n>", "Syntax Error\r\n>",
                              "User unknown !\r\n>", "List unknown !"})
    EXPECT_TRUE(IsControlFailure(failure)) << failure;
  for (const char* fine : {"User added successful\r\n>", "\r\n>", "Command unknown\r\n>", ">",
                           "  Alias:   Invalid\r\n>"})
    EXPECT_FALSE(IsControlFailure(fine)) << fine;
  EXPECT_EQ(ControlClient::RecordSeparators("user"), 11u);
  EXPECT_EQ(ControlClient::RecordSeparators("AUTO"), 5u);
  EXPECT_EQ(ControlClient::RecordSeparators("OPTIONS"), 43u);
  EXPECT_EQ(ControlClient::RecordSeparators("MEMBER"), 0u);
}

}  // namespace
}  // namespace qv
