// The end of a received message as it reaches the mailbox, through the connection that reads it.
#include <gtest/gtest.h>

#include "smtp/connection.h"
#include "smtp/tests/smtp_env_util.h"

namespace qv::smtp {
namespace {

using testing::FakeLink;
using testing::Normalize;
using testing::SmtpEnv;

TEST(MessageEnd, StoredFileIsTheSameWhereverTheReadsSplitTheMessage) {
  SmtpEnv env;
  env.AddUser("bob", "example.test", "Bob Builder");
  const std::string message = "Subject: dots\r\n\r\n..stuffed\r\nsee you...\r\n.\r\n";
  for (size_t cut = 0; cut <= message.size(); ++cut) {
    FakeLink link;
    SmtpConnection connection(link, "198.51.100.7", nullptr);
    for (const char* line :
         {"MAIL FROM:<alice@other.test>\r\n", "RCPT TO:<bob@example.test>\r\n", "DATA\r\n"})
      connection.OnReceive(line);
    link.Take();
    connection.OnReceive(message.substr(0, cut));
    connection.OnReceive(message.substr(cut));
    EXPECT_EQ(link.Take().substr(0, 4), "250 ") << cut;
  }
  auto box = env.Mailbox("bob");
  ASSERT_EQ(box.size(), message.size() + 1);
  const std::string first = Normalize(box[0]);
  for (const std::string& stored : box) EXPECT_EQ(Normalize(stored), first);
  const std::string end = "\r\n\r\n..stuffed\r\nsee you...";
  ASSERT_GT(first.size(), end.size());
  EXPECT_EQ(first.substr(first.size() - end.size()), end);
}

}  // namespace
}  // namespace qv::smtp
