#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include "common/testing/test_env.h"
#include "net/tests/dns_fake_util.h"
#include "net/tests/smtp_peer_util.h"
#include "tools/qvsend/send.h"

namespace qv::qvsend {
namespace {

using qv::testing::AnswerTo;
using qv::testing::Bytes;
using qv::testing::FakeDnsServer;
using qv::testing::FakeSmtpPeer;
using qv::testing::Labels;
using qv::testing::MxData;
using qv::testing::RealSmtpPeer;
using qv::testing::Record;
using qv::testing::RunProgram;
using qv::testing::RunResult;
using qv::testing::TempDir;
using qv::testing::WriteFileText;

const char kBanner[] = "Quorvane Send Utility for SMTP-Mail (Version 2.0)\n";

// ---------------------------------------------------------------------------------------------
// Options.

TEST(QvsendOptions, ParsesTheCommandLine) {
  // want: host, name server, from, to, cc, subject, file
  using Want = std::vector<std::string>;
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int code;
    Want want;
    std::string error;
  } cases[] = {
      {"lists after -t and -c",
       {"-t", "a@x", "b@y", "-c", "c@z", "msg.txt"},
       0,
       {"", "", "", "a@x b@y", "c@z", "", "msg.txt"},
       ""},
      {"values joined to the letter, any case",
       {"-Hmail.test:2525", "-Nns.test", "-fme@x", "-SHello", "m"},
       0,
       {"mail.test:2525", "ns.test", "me@x", "", "", "Hello", "m"},
       ""},
      {"the last argument is the file even after -t",
       {"-t", "a@x", "file"},
       0,
       {"", "", "", "a@x", "", "", "file"},
       ""},
      {"parsing stops at the file",
       {"-f", "a@x", "file", "-f", "b@y"},
       0,
       {"", "", "a@x", "", "", "", "file"},
       ""},
      {"an unknown option is passed over",
       {"-x", "-f", "a@x", "f"},
       0,
       {"", "", "a@x", "", "", "", "f"},
       ""},
      {"-f twice", {"-f", "a@x", "-f", "b@x", "f"}, 2, {}, "Error: Multiple values for -f\n"},
      {"-T twice counts as -t",
       {"-ta@x", "-T", "b@x", "f"},
       2,
       {},
       "Error: Multiple values for -t\n"},
      {"-h twice", {"-h", "a", "-hb", "f"}, 2, {}, "Error: Multiple values for -h\n"},
      {"no file", {"-f", "a@x"}, 0, {"", "", "a@x", "", "", "", ""}, ""},
      {"an option value never swallows the next option",
       {"-f", "-t", "a@x", "f"},
       0,
       {"", "", "", "a@x", "", "", "f"},
       ""},
  };
  for (const Case& c : cases) {
    Options o;
    std::string error;
    EXPECT_EQ(ParseArguments(c.args, &o, &error), c.code) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
    if (c.code != 0) continue;
    EXPECT_EQ((Want{o.host, o.name_server, o.from, o.to, o.cc, o.subject, o.file}), c.want)
        << c.what;
  }
}

TEST(QvsendOptions, LongOptionsTakeTheNextArgument) {
  Options o;
  std::string error;
  EXPECT_EQ(ParseArguments({"-TLS", "2", "-user", "u@x", "-password", "-p w", "-t", "b@y", "m"}, &o,
                           &error),
            0);
  EXPECT_EQ(o.tls, "2");
  EXPECT_EQ(o.user, "u@x");
  EXPECT_EQ(o.password, "-p w");
  EXPECT_TRUE(o.password_given);
  EXPECT_EQ(o.to, "b@y");
  EXPECT_EQ(o.file, "m");
  Options twice;
  EXPECT_EQ(ParseArguments({"-password", "", "-password", "x", "m"}, &twice, &error),
            kExitMultiple);
  EXPECT_EQ(error, "Error: Multiple values for -password\n");
}

TEST(QvsendOptions, HeaderLinesFillWhatTheCommandLineLeftOpen) {
  std::string head =
      "from:   Ann <ann@x.test>\r\n"
      "To: bob@y.test, carl@z.test\r\n"
      "Cc:\tdora@w.test\r\n"
      "Subject: Hi there\r\n"
      "To: late@ignored.test\r\n"
      "\r\n"
      "From: body@never.test\r\n";
  Options o;
  FillFromMessage(head, &o);
  EXPECT_EQ(o.from, "Ann <ann@x.test>");
  EXPECT_EQ(o.to, "bob@y.test, carl@z.test");
  EXPECT_EQ(o.cc, "dora@w.test");
  EXPECT_EQ(o.subject, "Hi there");

  Options given;
  given.from = "cli@x";
  given.to = "cli-to@x";
  FillFromMessage(head, &given);
  EXPECT_EQ(given.from, "cli@x");
  EXPECT_EQ(given.to, "cli-to@x");
  EXPECT_EQ(given.cc, "dora@w.test");

  // Header lines after the empty line are the body.
  Options body;
  FillFromMessage("Subject: x\n\nTo: victim@x\nFrom: f@x\n", &body);
  EXPECT_EQ(body.to, "");
  EXPECT_EQ(body.from, "");
  EXPECT_EQ(body.subject, "x");
}

TEST(QvsendOptions, AddressLists) {
  std::map<std::string, std::vector<std::string>> cases = {
      {"a@x b@y", {"a@x", "b@y"}},
      {"  a@x   ", {"a@x"}},
      {"Ann Smith <ann@x>, bob@y", {"ann@x", "bob@y"}},
      {"\"Smith, Ann\" <ann@x>", {"ann@x"}},
      {"<a@x>;<b@y>", {"a@x", "b@y"}},
      {"postmaster", {"postmaster"}},
      {"<postmaster>", {"postmaster"}},
      {"", {}},
      {" , ; ", {}},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(AddressList(text), want) << text;
}

// ---------------------------------------------------------------------------------------------
// The program.

std::string Qvsend() {
  return qv::testing::BinDir() + "/qvsend";
}

RunResult RunQvsend(const std::vector<std::string>& args) {
  return RunProgram(Qvsend(), args);
}

std::string Usage() {
  return std::string(kBanner) +
         "Usage:   qvsend [-h host] [-n nameserver] [-f address] [-t address-list]\n"
         "                [-c address-list] [-s subject] message-file\n"
         "         qvsend -?\n\n"
         "Options: -h host            Name or address of exchange host\n"
         "         -n nameserver      name or address of DNS server\n"
         "         -f address         Originator address (From)\n"
         "         -t address-list    Recipient addresses (To)\n"
         "         -c address-list    Carbon copy addresses (Cc)\n"
         "         -s subject         Subject\n"
         "         -tls 0|1|2         No TLS, STARTTLS when offered, TLS required\n"
         "         -user name         Log in (AUTH, inside TLS only) with this name\n"
         "         -password text     and this password (else it is asked for)\n"
         "         -?                 This screen\n\n"
         "If no -t option is given, the message-file must contain the recipient address.\n"
         "If -h option is not given, DNS lookup will be used.\n\n";
}

TEST(QvsendProgram, UsageAndErrors) {
  TempDir dir;
  WriteFileText(dir.Sub("plain"), "Subject: none\r\n\r\nbody\r\n");
  WriteFileText(dir.Sub("empty-conf"), "search x\n");
  ::setenv("QVSEND_RESOLV_CONF", dir.Sub("empty-conf").c_str(), 1);
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int code;
    std::string out;
  } cases[] = {
      {"no argument", {}, 0, Usage()},
      {"-?", {"-?"}, 0, Usage()},
      {"-f twice",
       {"-f", "a@x", "-f", "b@x", "f"},
       2,
       std::string(kBanner) + "Error: Multiple values for -f\n"},
      {"no file",
       {"-f", "a@x", "-t", "b@y"},
       4,
       std::string(kBanner) + "Error: No message-file is given\n"},
      {"unreadable file",
       {"-f", "a@x", dir.Sub("nothing-here")},
       3,
       std::string(kBanner) + "Error: Cannot read messagefile " + dir.Sub("nothing-here") + "\n"},
      {"a folder is no message",
       {"-f", "a@x", "-t", "b@y", dir.path()},
       3,
       std::string(kBanner) + "Error: Cannot read messagefile " + dir.path() + "\n"},
      {"no originator",
       {"-t", "b@y", dir.Sub("plain")},
       4,
       std::string(kBanner) + "Error: No originator address is given\n"},
      {"no recipient",
       {"-f", "a@x", "-c", "c@z", dir.Sub("plain")},
       4,
       std::string(kBanner) + "Error: No recipient address is given\n"},
      {"no name server",
       {"-f", "a@x", "-t", "b@y", dir.Sub("plain")},
       4,
       std::string(kBanner) + "Error: No DNS server is available\n"},
      {"unknown host",
       {"-h", "no-such-host.invalid", "-f", "a@x", "-t", "b@y", dir.Sub("plain")},
       6,
       std::string(kBanner) + "Error: Unknown host no-such-host.invalid\n"},
  };
  for (const Case& c : cases) {
    RunResult r = RunQvsend(c.args);
    EXPECT_EQ(r.code, c.code) << c.what;
    EXPECT_EQ(r.out, c.out) << c.what;
  }
  ::unsetenv("QVSEND_RESOLV_CONF");
}

TEST(QvsendProgram, SendsTheFileToTheNamedHost) {
  FakeSmtpPeer peer;
  TempDir dir;
  // On the wire a line that starts with a dot gets a second one, and the last line its line end.
  std::string message = "From: Ann <ann@x.test>\r\nSubject: plain\r\n\r\n.leading dot\r\nlast line";
  WriteFileText(dir.Sub("m"), message);
  RunResult r = RunQvsend(
      {"-h", peer.address(), "-t", "b@y.test", "c@z.test", "-c", "d@w.test", dir.Sub("m")});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out, kBanner);
  std::vector<std::string> cmds = peer.commands();
  ASSERT_EQ(cmds.size(), 7u);
  EXPECT_EQ(cmds[0].substr(0, 5), "HELO ");
  EXPECT_GT(cmds[0].size(), 5u) << "the local host name follows HELO";
  EXPECT_EQ(cmds[1], "MAIL FROM: <ann@x.test>");
  EXPECT_EQ(cmds[2], "RCPT TO: <b@y.test>");
  EXPECT_EQ(cmds[3], "RCPT TO: <c@z.test>");
  EXPECT_EQ(cmds[4], "RCPT TO: <d@w.test>");
  EXPECT_EQ(cmds[5], "DATA");
  EXPECT_EQ(cmds[6], "QUIT");
  ASSERT_EQ(peer.messages().size(), 1u);
  std::string wire = message + "\r\n";
  wire.replace(wire.find(".leading"), 1, "..");
  EXPECT_EQ(peer.messages()[0], wire);
}

TEST(QvsendProgram, ARealServerReceivesALargeMessage) {
  RealSmtpPeer peer;
  if (!peer.ok()) GTEST_SKIP() << peer.why();
  TempDir dir;
  std::string message = "From: a@x.test\r\nTo: Bob <bob@y.test>\r\nSubject: big\r\n\r\n";
  for (int i = 0; i < 5000; ++i) message += "line " + std::to_string(i) + " of the body text\r\n";
  WriteFileText(dir.Sub("m"), message);
  RunResult r = RunQvsend({"-h", peer.address(), dir.Sub("m")});
  EXPECT_EQ(r.code, 0) << r.out;
  auto got = peer.WaitForMessages(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].mail_from, "a@x.test");
  EXPECT_EQ(got[0].rcpt_to, std::vector<std::string>{"bob@y.test"});
  EXPECT_EQ(got[0].content.size(), message.size());
  EXPECT_TRUE(got[0].content == message);
}

TEST(QvsendProgram, ARealServerStoresTheFileByteForByte) {
  RealSmtpPeer peer;
  if (!peer.ok()) GTEST_SKIP() << peer.why();
  TempDir dir;
  // Lines that begin with a dot: one alone (which would end the message), one at the very start
  // of a send block (the file goes out in blocks of 2048 bytes); a dot after a bare LF is inside
  // a line and goes as it is.
  std::string head = "From: a@x.test\r\nTo: b@y.test\r\n\r\n.\r\nafter the dot line\r\n";
  std::string filler;
  while (head.size() + filler.size() + 80 < 2048) filler += std::string(78, 'f') + "\r\n";
  filler += std::string(2048 - head.size() - filler.size() - 2, 'g') + "\r\n";
  std::string message = head + filler + ".at a block start\r\n..two\n.bare\r\nend\r\n";
  ASSERT_EQ(message.find(".at a block start"), 2048u);
  WriteFileText(dir.Sub("m"), message);
  // A file without a line end at its close gets one: SMTP carries lines.
  WriteFileText(dir.Sub("open"), "From: a@x.test\r\nTo: b@y.test\r\n\r\n.no end");
  EXPECT_EQ(RunQvsend({"-h", peer.address(), dir.Sub("m")}).code, 0);
  EXPECT_EQ(RunQvsend({"-h", peer.address(), dir.Sub("open")}).code, 0);
  auto got = peer.WaitForMessages(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(got[0].content == message) << got[0].content;
  EXPECT_EQ(got[1].content, "From: a@x.test\r\nTo: b@y.test\r\n\r\n.no end\r\n");
}

TEST(QvsendProgram, RefusalsAndBrokenConversations) {
  struct Case {
    const char* what;
    FakeSmtpPeer::Script script;
    int code;
    std::vector<std::string> commands;
  };
  auto refuse = [](const std::string& verb, const std::string& reply) {
    return [verb, reply](const std::string& line) {
      return line.rfind(verb, 0) == 0 ? reply : FakeSmtpPeer::StandardReply(line);
    };
  };
  auto script = [](std::string greeting, FakeSmtpPeer::Replier reply, std::string data_reply,
                   bool split) {
    FakeSmtpPeer::Script s;
    if (!greeting.empty()) s.greeting = greeting;
    if (reply) s.reply = reply;
    if (!data_reply.empty()) s.data_reply = data_reply;
    s.split_lines = split;
    return s;
  };
  auto multi = [](const std::string& line) {
    std::string r = FakeSmtpPeer::StandardReply(line);
    return line.rfind("HELO", 0) == 0 ? "250-peer.test\r\n250 hello\r\n" : r;
  };
  Case cases[] = {
      {"greeting refused: no QUIT", script("554 go away\r\n", nullptr, "", false), 6, {}},
      {"sender refused",
       script("", refuse("MAIL", "553 no\r\n"), "", false),
       6,
       {"HELO", "MAIL", "QUIT"}},
      {"recipient refused",
       script("", refuse("RCPT", "550 unknown\r\n"), "", false),
       6,
       {"HELO", "MAIL", "RCPT", "QUIT"}},
      {"data refused",
       script("", refuse("DATA", "451 later\r\n"), "", false),
       6,
       {"HELO", "MAIL", "RCPT", "DATA", "QUIT"}},
      {"message refused",
       script("", nullptr, "552 too big\r\n", false),
       6,
       {"HELO", "MAIL", "RCPT", "DATA", "QUIT"}},
      {"connection dropped after MAIL",
       script("", refuse("MAIL", ""), "", false),
       6,
       {"HELO", "MAIL"}},
      {"multi-line replies in pieces",
       script("220-peer.test\r\n220-second\r\n220 ready\r\n", multi, "", true),
       0,
       {"HELO", "MAIL", "RCPT", "DATA", "QUIT"}},
  };
  TempDir dir;
  WriteFileText(dir.Sub("m"), "Subject: t\r\n\r\nbody\r\n");
  for (Case& c : cases) {
    FakeSmtpPeer peer(c.script);
    RunResult r = RunQvsend({"-f", "a@x", "-t", "b@y", "-h", peer.address(), dir.Sub("m")});
    EXPECT_EQ(r.code, c.code) << c.what << "\n" << r.out;
    std::vector<std::string> verbs;
    for (const std::string& cmd : peer.commands()) verbs.push_back(cmd.substr(0, 4));
    EXPECT_EQ(verbs, c.commands) << c.what;
  }
}

// An exchanger name that carries its port, so that a loopback peer can stand for port 25.
Bytes Mx(const std::string& owner, uint16_t pref, const std::string& host) {
  return Record(Labels(owner), 15, MxData(pref, Labels(host)));
}

TEST(QvsendProgram, DnsModeTriesEachRecipientsExchangersInOrder) {
  RealSmtpPeer peer;
  if (!peer.ok()) GTEST_SKIP() << peer.why();
  uint16_t dead = qv::testing::FreeTcpPort();
  std::string live = "127.0.0.1:" + std::to_string(peer.port());
  std::string gone = "127.0.0.1:" + std::to_string(dead);
  FakeDnsServer dns([&](const Bytes& q) {
    std::string name = qv::testing::QuestionOf(q);
    std::vector<Bytes> records;
    if (name == "one.test") records = {Mx(name, 20, live), Mx(name, 10, gone)};
    if (name == "two.test") records = {Mx(name, 5, live)};
    return std::vector<FakeDnsServer::Reply>{{AnswerTo(q, records)}};
  });
  TempDir dir;
  WriteFileText(dir.Sub("m"), "Subject: dns\r\n\r\nhello\r\n");
  RunResult r = RunQvsend({"-n", dns.address(), "-f", "me@here.test", "-t", "a@one.test",
                           "nobody@none.test", "-c", "b@two.test", "broken@", dir.Sub("m")});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, std::string(kBanner) + "Error: Unknown host " + gone + "\n" +
                       "Invalid domain broken@\n");
  auto got = peer.WaitForMessages(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].rcpt_to, std::vector<std::string>{"a@one.test"});
  EXPECT_EQ(got[1].rcpt_to, std::vector<std::string>{"b@two.test"});
  EXPECT_EQ(got[1].content, "Subject: dns\r\n\r\nhello\r\n");
  EXPECT_EQ(dns.questions(), (std::vector<std::string>{"one.test", "none.test", "two.test"}));
}

TEST(QvsendProgram, TheSystemNameServerIsUsedWithoutMinusN) {
  FakeSmtpPeer peer;
  FakeDnsServer dns([&](const Bytes& q) {
    return std::vector<FakeDnsServer::Reply>{{AnswerTo(q, {Mx("sys.test", 1, peer.address())})}};
  });
  TempDir dir;
  WriteFileText(dir.Sub("conf"), "nameserver " + dns.address() + "\n");
  WriteFileText(dir.Sub("m"), "From: me@x\r\nTo: u@sys.test\r\n\r\nhi\r\n");
  ::setenv("QVSEND_RESOLV_CONF", dir.Sub("conf").c_str(), 1);
  RunResult r = RunQvsend({dir.Sub("m")});
  ::unsetenv("QVSEND_RESOLV_CONF");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(peer.messages().size(), 1u);
  EXPECT_EQ(dns.questions(), std::vector<std::string>{"sys.test"});
}

TEST(QvsendProgram, DnsFailuresArePrintedAndTheRunStillEndsWithZero) {
  TempDir dir;
  WriteFileText(dir.Sub("m"), "x\r\n");
  RunResult r =
      RunQvsend({"-n", "no-such-host.invalid", "-f", "a@x", "-t", "b@y.test", dir.Sub("m")});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, std::string(kBanner) + "Cannot find DNS-Server no-such-host.invalid\n");
}

// TLS and the login: refused before anything is sent when they cannot be had.
TEST(QvsendProgram, TlsAndLoginAreNeverGivenUp) {
  FakeSmtpPeer peer;  // offers no STARTTLS
  TempDir dir;
  WriteFileText(dir.Sub("m"), "From: ann@x.test\r\nTo: b@y.test\r\n\r\nbody\r\n");
  RunResult r = RunQvsend({"-h", peer.address(), "-tls", "2", dir.Sub("m")});
  EXPECT_EQ(r.code, kExitConversation);
  EXPECT_EQ(r.out, std::string(kBanner) + "Error: " + peer.address() +
                       " offers no STARTTLS: nothing was sent\n");
  std::vector<std::string> cmds = peer.commands();
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(cmds[0].substr(0, 5), "EHLO ");
  EXPECT_EQ(cmds[1], "QUIT");
  EXPECT_TRUE(peer.messages().empty());

  r = RunQvsend({"-h", peer.address(), "-tls", "0", "-user", "u", "-password", "p", dir.Sub("m")});
  EXPECT_EQ(r.code, kExitSecurity);
  EXPECT_EQ(r.out, std::string(kBanner) +
                       "Error: -user needs -tls 1 or 2: a password is never sent in clear\n");
  r = RunQvsend({"-h", peer.address(), "-tls", "3", dir.Sub("m")});
  EXPECT_EQ(r.code, kExitSecurity);
  EXPECT_EQ(r.out, std::string(kBanner) + "Error: -tls takes 0, 1 or 2\n");
  // With -tls 1 the login still waits for a STARTTLS the peer does not offer.
  r = RunQvsend({"-h", peer.address(), "-tls", "1", "-user", "u", "-password", "p", dir.Sub("m")});
  EXPECT_EQ(r.code, kExitConversation);
  EXPECT_EQ(peer.commands().size(), 4u) << "EHLO and QUIT once more, no AUTH";
  EXPECT_TRUE(peer.messages().empty());
}

}  // namespace
}  // namespace qv::qvsend
