#include "smtp/tests/smtp_env_util.h"

#include "common/testing/service_keys.h"

namespace qv::smtp::testing {

SmtpEnv::SmtpEnv() {
  SYSTEMSTRUCT& sys = system();
  sys.ConnectTime = 3600;
  sys.ClosingTime = 90;
  CopyField(net().Address, "192.0.2.1");
  CopyField(net().HostName, "mx.example.test");
  smtp().ESMTPMaxMsgSize = 5000;
  smtp().Port = 25;
  smtp().PortEx = 25;
}

void SmtpEnv::WriteServiceKeys(int port, uint32_t flags) {
  qv::testing::WriteCommonKey({.host = "mx.example.test",
                               .domain = "example.test",
                               .install = qv::testing::BinDir(),
                               .mail = mail(),
                               .temp = temp(),
                               .log = log(),
                               .config = tables().config(),
                               .log_level = 5});
  qv::testing::SmtpKey().Set("Port", port).Set("Flags", flags);
}

void SmtpEnv::WriteForwarder(int port_ex) {
  qv::testing::SmtpKey().Set("PortEx", port_ex).Set("ExchangeHost", "127.0.0.1");
}

void SmtpServiceTest::WriteKeys(uint32_t flags) {
  port_ = qv::testing::FreeLoopbackPort();
  env_.WriteServiceKeys(port_, flags);
}

std::string SmtpServiceTest::Say(qv::testing::LineClient& client, const std::string& line) {
  client.Send(line);
  return client.ReadReply();
}

std::string SmtpServiceTest::SendMessage(const std::string& from, const std::string& rcpt,
                                         const std::string& text) {
  qv::testing::LineClient client;
  EXPECT_TRUE(client.Connect(port_));
  client.ReadLine();
  for (const std::string& line :
       std::vector<std::string>{"HELO client.test\r\n", "MAIL FROM:<" + from + ">\r\n",
                                "RCPT TO:<" + rcpt + ">\r\n", "DATA\r\n"})
    Say(client, line);
  std::string reply = Say(client, text + "\r\n.\r\n");
  Say(client, "QUIT\r\n");
  return reply;
}

qv::testing::RunResult SmtpServiceTest::RunPython(const std::string& code) {
  std::string script = env_.root() + "/client.py";
  qv::testing::WriteFileText(script, code);
  return qv::testing::RunProgram("/usr/bin/python3", {script, std::to_string(port_)});
}

}  // namespace qv::smtp::testing
