#include "net/dns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "common/config.h"
#include "net/tests/dns_fake_util.h"

namespace qv {
namespace {

using testing::AnswerTo;
using testing::Be16;
using testing::Be32;
using testing::Bytes;
using testing::Cat;
using testing::FakeDnsServer;
using testing::Labels;
using testing::MxData;
using testing::Pointer;
using testing::Record;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

std::string Str(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

// ---------------------------------------------------------------------------------------------
// The query datagram.

TEST(DnsQuery, EncodesHeaderLabelsTypeAndClassBigEndian) {
  DnsHeader h;
  h.id = 0x1267;
  Bytes want = Cat({FromHex("1267 0100 0001 0000 0000 0000 07"),
                    Bytes{'e', 'x', 'a', 'm', 'p', 'l', 'e', 4, 't', 'e', 's', 't', 0},
                    FromHex("000f 0001")});
  EXPECT_EQ(BuildQuery(h, "example.test"), want);
  // The datagram is 12 + (domain length + 2) + 4 bytes.
  EXPECT_EQ(want.size(), 12u + (12 + 2) + 4);
  // One trailing dot names the same domain.
  EXPECT_EQ(BuildQuery(h, "example.test."), want);
  // Case travels as written.
  EXPECT_EQ(Str(BuildQuery(h, "Example.TEST")).substr(13, 7), "Example");
}

TEST(DnsQuery, RefusesNamesThatLabelsCannotCarry) {
  DnsHeader h;
  std::string label63(63, 'a'), label64(64, 'a');
  std::string long253 = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                        std::string(63, 'c') + "." + std::string(61, 'd');
  ASSERT_EQ(long253.size(), 253u);
  struct Case {
    std::string domain;
    bool ok;
  } cases[] = {
      {"", false},
      {".", false},
      {"a..b", false},
      {".a", false},
      {"a.b..", false},
      {label64 + ".x", false},
      {label63 + ".x", true},
      {long253, true},
      {long253 + "e", false},
      {"x", true},
  };
  for (const Case& c : cases) {
    Bytes q = BuildQuery(h, c.domain);
    EXPECT_EQ(!q.empty(), c.ok) << "'" << c.domain << "'";
    if (c.ok) {
      std::string back;
      EXPECT_GT(DecodeName(q, 12, &back), 0);
      std::string want = c.domain;
      for (char& ch : want) ch = static_cast<char>(std::tolower(ch));
      if (want.size() <= kDnsNameMax) {
        EXPECT_EQ(back, want);
      }
    }
  }
}

TEST(DnsQuery, EncodeQuerySendsOneDatagramToTheServer) {
  Bytes seen;
  FakeDnsServer server([&](const Bytes& q) {
    seen = q;
    return std::vector<FakeDnsServer::Reply>{};
  });
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(server.port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  DnsHeader h;
  h.id = 4711;
  EXPECT_EQ(EncodeQuery(fd, h, "mail.example.org", to), 1);
  EXPECT_EQ(EncodeQuery(fd, h, "bad..name", to), 0);
  ::close(fd);
  for (int i = 0; i < 200 && server.questions().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(server.questions().size(), 1u);
  EXPECT_EQ(seen, BuildQuery(h, "mail.example.org"));
}

// ---------------------------------------------------------------------------------------------
// Names.

TEST(DnsName, DecodesLabelsPointersAndStopsSafelyOnHostileInput) {
  Bytes plain = Labels("Mail.Example.COM");  // offset 0
  struct Case {
    const char* what;
    Bytes message;
    size_t offset;
    std::string name;
    int consumed;
    bool intact;
  } cases[] = {
      {"plain, lower-cased", plain, 0, "mail.example.com", 18, true},
      {"root name", Bytes{0}, 0, "", 1, true},
      {"pointer alone", Cat({plain, Pointer(5)}), 18, "example.com", 2, true},
      {"labels then pointer", Cat({plain, Bytes{3, 'w', 'w', 'w'}, Pointer(0)}), 18,
       "www.mail.example.com", 6, true},
      {"pointer to a pointer", Cat({plain, Pointer(0), Pointer(18)}), 20, "mail.example.com", 2,
       true},
      {"pointer forward", Cat({Pointer(2), Labels("fwd.test")}), 0, "fwd.test", 2, true},
      {"pointer to itself", Pointer(0), 0, "", 2, false},
      {"two pointers in a loop", Cat({Pointer(2), Pointer(0)}), 0, "", 2, false},
      {"label loop through a pointer", Cat({Bytes{1, 'a'}, Pointer(0)}), 0, std::string(), 4,
       false},
      {"pointer past the end", Cat({plain, Pointer(500)}), 18, "", 2, false},
      {"pointer cut in half", Bytes{0xc0}, 0, "", 0, false},
      {"label past the end", Bytes{5, 'a', 'b'}, 0, "", 0, false},
      {"missing zero byte", Bytes{1, 'a'}, 0, "a", 2, false},
      {"offset past the end", Bytes{0}, 7, "", 0, false},
      {"control bytes and blanks shown as ?", Bytes{3, 'a', ' ', '\n', 0}, 0, "a??", 5, true},
  };
  for (const Case& c : cases) {
    std::string name = "junk";
    bool intact = !c.intact;
    int n = DecodeName(c.message, c.offset, &name, &intact);
    EXPECT_EQ(n, c.consumed) << c.what;
    EXPECT_EQ(intact, c.intact) << c.what;
    if (std::string(c.what) == "label loop through a pointer") {
      // Grows "a.a.a..." until the name is full, then stops.
      EXPECT_EQ(name.size(), kDnsNameMax) << c.what;
      EXPECT_EQ(name.substr(0, 6), "a.a.a.") << c.what;
    } else {
      EXPECT_EQ(name, c.name) << c.what;
    }
  }
}

TEST(DnsName, FollowsAPointerAboveOffset255) {
  // 300 bytes of padding put the target name beyond what one byte could address.
  Bytes m(300, 0xee);
  Bytes target = Labels("far.example.net");
  m.insert(m.end(), target.begin(), target.end());
  Bytes ptr = Pointer(300);
  EXPECT_EQ(ptr[0], 0xc1);
  EXPECT_EQ(ptr[1], 300 - 256);
  size_t at = m.size();
  m.insert(m.end(), {4, 'm', 'a', 'i', 'l'});
  m.insert(m.end(), ptr.begin(), ptr.end());
  std::string name;
  EXPECT_EQ(DecodeName(m, at, &name), 7);
  EXPECT_EQ(name, "mail.far.example.net");
}

TEST(DnsName, LongNamesStopAtTheFieldSize) {
  Bytes m;
  for (int i = 0; i < 5; ++i) m = Cat({m, Bytes{40}, Bytes(40, 'x')});
  m.push_back(0);
  std::string name;
  bool intact = true;
  DecodeName(m, 0, &name, &intact);
  EXPECT_FALSE(intact);
  EXPECT_EQ(name.size(), kDnsNameMax);
}

// ---------------------------------------------------------------------------------------------
// Records.

TEST(DnsRecord, DataTextOfEveryType) {
  // The records sit after a 12-byte stand-in header and the name "example.org" at offset 12,
  // which data names point to.
  Bytes head = Cat({Bytes(12, 0), Labels("example.org")});
  Bytes self = Pointer(12);
  Bytes wks_bitmap = {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40};  // ports 25 and 49
  struct Case {
    const char* what;
    uint16_t type;
    Bytes data;
    std::string text;
  } cases[] = {
      {"A", 1, {192, 0, 2, 7}, "192.0.2.7"},
      {"NS", 2, Cat({Bytes{3, 'n', 's', '1'}, self}), "ns1.example.org"},
      {"CNAME", 5, Labels("Alias.Example.org"), "alias.example.org"},
      {"PTR", 12, self, "example.org"},
      {"SOA", 6,
       Cat({Bytes{2, 'n', 's'}, self, Bytes{10}, Bytes(10, 'h'), self, Be32(2024010101), Be32(7200),
            Be32(900), Be32(1209600), Be32(300)}),
       "ns.example.org\nhhhhhhhhhh.example.orgSerial: 2024010101\nRefresh: 7200\nRetry: 900\n"
       "Expire: 1209600\nMinimum: 300"},
      {"WKS", 11, Cat({Bytes{10, 1, 2, 3, 6}, wks_bitmap}), "10.1.2.3 (TCP)\n25, 49, "},
      {"WKS unknown protocol", 11, Bytes{10, 1, 2, 3, 99, 0x80}, "10.1.2.3 (99)\n0, "},
      {"HINFO", 13, Bytes{3, 'P', 'D', 'P', 4, 'T', 'O', 'P', 'S'}, "PDP\nTOPS"},
      {"HINFO cut short", 13, Bytes{9, 'P', 'D'}, "PD"},
      {"MINFO", 14, Cat({Labels("rm.example.org"), self}), "rm.example.org\nexample.org"},
      {"MX", 15, MxData(10, Cat({Bytes{2, 'm', 'x'}, self})), "mx.example.org 10"},
      {"TXT as bytes", 16, Bytes{2, 'h', 'i'}, "02 68 69 \t"},
      {"A too short as bytes", 1, Bytes{1, 2}, "01 02 \t"},
      {"MX too short as bytes", 15, Bytes{0, 5}, "00 05 \t"},
      {"empty unknown", 99, Bytes{}, "\t"},
  };
  for (const Case& c : cases) {
    Bytes m = Cat({head, Record(self, c.type, c.data, 1, 86400)});
    DNSRECORD r;
    int n = DecodeRecord(m, head.size(), &r);
    EXPECT_EQ(n, static_cast<int>(2 + 10 + c.data.size())) << c.what;
    EXPECT_EQ(r.name, "example.org") << c.what;
    EXPECT_EQ(r.type, c.type) << c.what;
    EXPECT_EQ(r.rclass, 1) << c.what;
    EXPECT_EQ(r.ttl, 86400u) << c.what;
    EXPECT_EQ(r.length, c.data.size()) << c.what;
    EXPECT_EQ(r.data, c.text) << c.what;
  }
}

TEST(DnsRecord, DataTextIsCutAtTheFieldSize) {
  Bytes m = Record(Labels("x.org"), 16, Bytes(200, 0xab));
  DNSRECORD r;
  ASSERT_GT(DecodeRecord(m, 0, &r), 0);
  EXPECT_EQ(r.data.size(), kDnsNameMax);
  EXPECT_EQ(r.data.substr(0, 6), "ab ab ");
}

TEST(DnsRecord, EndsAtEmptyNamesAndRecordsRunningPastTheEnd) {
  Bytes good = Record(Labels("a.org"), 1, {1, 2, 3, 4});
  DNSRECORD r;
  ASSERT_EQ(DecodeRecord(good, 0, &r), static_cast<int>(good.size()));
  // Every cut of the record fails cleanly.
  for (size_t len = 0; len < good.size(); ++len) {
    Bytes cut(good.begin(), good.begin() + static_cast<long>(len));
    EXPECT_EQ(DecodeRecord(cut, 0, &r), -1) << len;
  }
  // An empty name.
  EXPECT_EQ(DecodeRecord(Record(Bytes{0}, 1, {1, 2, 3, 4}), 0, &r), -1);
  // A data length larger than what follows.
  Bytes lying = Cat({Labels("a.org"), Be16(1), Be16(1), Be32(0), Be16(900), Bytes{1, 2, 3, 4}});
  EXPECT_EQ(DecodeRecord(lying, 0, &r), -1);
  // A broken name.
  EXPECT_EQ(DecodeRecord(Cat({Pointer(0), Be16(1), Be16(1), Be32(0), Be16(0)}), 0, &r), -1);
}

TEST(DnsRecord, DecodesACapturedAnswerWithCompression) {
  // A real answer for "example.test" MX: two exchangers (the names compressed against the
  // question) and the address of one of them in the additional section.
  Bytes m = FromHex(
      "126785800001000200000001076578616d706c65047465737400000f0001c00c000f00010000000000140"
      "00a036d7832076578616d706c65047465737400c00c000f00010000000000140014036d7831076578616d"
      "706c65047465737400c04c000100010000000000047f000001");
  std::string q;
  size_t p = 12 + static_cast<size_t>(DecodeName(m, 12, &q)) + 4;
  EXPECT_EQ(q, "example.test");
  std::vector<std::string> texts;
  DNSRECORD r;
  for (int n; p < m.size() && (n = DecodeRecord(m, p, &r)) > 0; p += static_cast<size_t>(n))
    texts.push_back(r.name + "|" + std::to_string(r.type) + "|" + r.data);
  EXPECT_EQ(p, m.size());
  EXPECT_EQ(texts, (std::vector<std::string>{"example.test|15|mx2.example.test 10",
                                             "example.test|15|mx1.example.test 20",
                                             "mx1.example.test|1|127.0.0.1"}));
}

// ---------------------------------------------------------------------------------------------
// Asking a name server.

struct Captured {
  std::vector<std::pair<int, std::string>> lines;
  DnsReport sink() {
    return [this](int socket, const std::string& text) { lines.emplace_back(socket, text); };
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const auto& l : lines) out.push_back(l.second);
    return out;
  }
};

Bytes MxRecord(const std::string& owner, uint16_t pref, const std::string& host) {
  return Record(Labels(owner), 15, MxData(pref, Labels(host)));
}

Bytes NsRecord(const std::string& owner, const std::string& host) {
  return Record(Labels(owner), 2, Labels(host));
}

FakeDnsServer::Handler Answering(std::vector<Bytes> records) {
  return [records](const Bytes& q) {
    return std::vector<FakeDnsServer::Reply>{{AnswerTo(q, records)}};
  };
}

struct MxCase {
  const char* what;
  std::vector<Bytes> records;
  std::string own_host;
  int result;
  std::string out;
};

TEST(DnsQueryMailExchangers, OrdersFiltersAndFallsBack) {
  const std::string d = "example.test";
  MxCase cases[] = {
      {"equal preferences keep the answer order",
       {MxRecord(d, 20, "c.test"), MxRecord(d, 10, "a.test"), MxRecord(d, 10, "b.test")},
       "",
       3,
       "a.test b.test c.test"},
      {"own host at 10 leaves only better ones",
       {MxRecord(d, 5, "best.test"), MxRecord(d, 10, "Me.Local"), MxRecord(d, 10, "peer.test"),
        MxRecord(d, 20, "worse.test")},
       "me.local",
       1,
       "best.test"},
      {"own host best leaves nothing",
       {MxRecord(d, 20, "b.test"), MxRecord(d, 10, "me.local")},
       "ME.LOCAL",
       0,
       ""},
      {"no own host means no limit",
       {MxRecord(d, 20, "b.test"), MxRecord(d, 10, "me.local")},
       "",
       2,
       "me.local b.test"},
      {"name servers only: the one naming the domain",
       {NsRecord(d, "ns.other.net"), NsRecord(d, "ns1.example.test"),
        NsRecord(d, "ns2.example.test")},
       "",
       -1,
       "ns1.example.test"},
      {"name servers only: else the first",
       {NsRecord(d, "ns.other.net"), NsRecord(d, "ns.third.net")},
       "",
       -1,
       "ns.other.net"},
      {"exchangers win over name servers",
       {NsRecord(d, "ns1.example.test"), MxRecord(d, 10, "mx.test")},
       "",
       1,
       "mx.test"},
      {"nothing usable", {Record(Labels(d), 1, {1, 2, 3, 4})}, "", 0, ""},
      {"empty answer", {}, "", 0, ""},
      {"a broken record ends the decoding with what was read",
       {MxRecord(d, 10, "first.test"), Cat({Pointer(4000), Be16(15)}), MxRecord(d, 5, "late.test")},
       "",
       1,
       "first.test"},
      {"a null exchanger is no host", {MxRecord(d, 0, "")}, "", 0, ""},
  };
  for (const MxCase& c : cases) {
    FakeDnsServer server(Answering(c.records));
    MxQueryOptions options;
    options.own_host = c.own_host;
    Captured log;
    options.report = log.sink();
    std::string out = "junk";
    EXPECT_EQ(QueryMailExchangers(server.address(), d, options, &out), c.result) << c.what;
    EXPECT_EQ(out, c.out) << c.what;
    EXPECT_TRUE(log.lines.empty()) << c.what;
  }
}

TEST(DnsQueryMailExchangers, NameServersOfTheAuthoritySection) {
  // A referral: no answers, two name servers counted in the authority section, their
  // addresses in the additional section.
  FakeDnsServer server([](const Bytes& q) {
    Bytes a = AnswerTo(q, {NsRecord("sub.example.test", "ns.elsewhere.net"),
                           NsRecord("sub.example.test", "ns2.sub.example.test"),
                           Record(Labels("ns2.sub.example.test"), 1, {192, 0, 2, 53})});
    a[6] = 0, a[7] = 0;    // ANCOUNT
    a[8] = 0, a[9] = 2;    // NSCOUNT
    a[10] = 0, a[11] = 1;  // ARCOUNT
    a[2] = 0x80;           // a response, not recursive
    return std::vector<FakeDnsServer::Reply>{{a}};
  });
  std::string out;
  EXPECT_EQ(QueryMailExchangers(server.address(), "sub.example.test", {}, &out), -1);
  EXPECT_EQ(out, "ns2.sub.example.test");
}

TEST(DnsQueryMailExchangers, KeepsOnlyTheFirst32Entries) {
  std::vector<Bytes> records;
  for (int i = 0; i < 40; ++i)
    records.push_back(
        Record(Pointer(12), 15,
               MxData(static_cast<uint16_t>(100 - i), Labels("h" + std::to_string(i) + ".test"))));
  FakeDnsServer server(Answering(records));
  std::string out;
  EXPECT_EQ(QueryMailExchangers(server.address(), "big.test", {}, &out), 32);
  EXPECT_EQ(out.substr(0, 9), "h31.test ");
  EXPECT_EQ(out.substr(out.size() - 7), "h0.test");
}

TEST(DnsQueryMailExchangers, IgnoresForgedAndStrayDatagrams) {
  // Before the true answer come: one with another ID, one from another port, one for another
  // question, one that is not a response, and a runt. Only the true answer may count.
  FakeDnsServer server([](const Bytes& q) {
    Bytes forged = AnswerTo(q, {MxRecord("bank.test", 1, "evil.test")});
    Bytes wrong_id = forged;
    wrong_id[0] ^= 0xff;
    Bytes other_port = forged;
    Bytes other_q =
        Cat({Bytes(q.begin(), q.begin() + 2), FromHex("8180 0001 0001 0000 0000"),
             Labels("other.test"), Be16(15), Be16(1), MxRecord("other.test", 1, "evil.test")});
    Bytes not_response = forged;
    not_response[2] = 0x01;
    Bytes runt(q.begin(), q.begin() + 5);
    Bytes truth = AnswerTo(q, {MxRecord("bank.test", 10, "mx.bank.test")});
    return std::vector<FakeDnsServer::Reply>{
        {wrong_id}, {other_port, true}, {other_q}, {not_response}, {runt}, {truth}};
  });
  std::string out;
  EXPECT_EQ(QueryMailExchangers(server.address(), "bank.test", {}, &out), 1);
  EXPECT_EQ(out, "mx.bank.test");
}

TEST(DnsQueryMailExchangers, UsesADifferentIdForEveryQuery) {
  std::vector<uint16_t> ids;
  std::mutex mu;
  FakeDnsServer server([&](const Bytes& q) {
    std::lock_guard<std::mutex> lock(mu);
    ids.push_back(static_cast<uint16_t>(q[0] << 8 | q[1]));
    return std::vector<FakeDnsServer::Reply>{{AnswerTo(q, {})}};
  });
  std::string out;
  for (int i = 0; i < 8; ++i) QueryMailExchangers(server.address(), "x.test", {}, &out);
  ASSERT_EQ(ids.size(), 8u);
  std::sort(ids.begin(), ids.end());
  EXPECT_GT(std::unique(ids.begin(), ids.end()) - ids.begin(), 4);
}

TEST(DnsQueryMailExchangers, QuestionCaseDoesNotMatter) {
  FakeDnsServer server([](const Bytes& q) {
    Bytes a = AnswerTo(q, {MxRecord("mixed.test", 1, "mx.mixed.test")});
    for (size_t i = 12; i < 24; ++i) a[i] = static_cast<uint8_t>(std::toupper(a[i]));
    return std::vector<FakeDnsServer::Reply>{{a}};
  });
  std::string out;
  EXPECT_EQ(QueryMailExchangers(server.address(), "MiXeD.test", {}, &out), 1);
  EXPECT_EQ(out, "mx.mixed.test");
}

TEST(DnsQueryMailExchangers, FailuresAreReportedWithTheServerAsConfigured) {
  Captured log;
  MxQueryOptions options;
  options.report = log.sink();
  options.timeout_ms = 200;
  std::string out;
  int before = testing::OpenDescriptorCount();

  EXPECT_EQ(QueryMailExchangers("no-such-host.invalid", "a.test", options, &out), 0);
  EXPECT_EQ(QueryMailExchangers("127.0.0.1:99999", "a.test", options, &out), 0);
  {
    FakeDnsServer silent([](const Bytes&) { return std::vector<FakeDnsServer::Reply>{}; });
    EXPECT_EQ(QueryMailExchangers(silent.address(), "a.test", options, &out), 0);
    EXPECT_EQ(QueryMailExchangers(silent.address(), "bad..domain", options, &out), 0);
    EXPECT_EQ(out, "");
    std::vector<std::string> want = {"Cannot find DNS-Server no-such-host.invalid",
                                     "Cannot find DNS-Server 127.0.0.1:99999",
                                     "DNS " + silent.address() + " timed out",
                                     "Error sending DNS-Header to " + silent.address()};
    EXPECT_EQ(log.texts(), want);
  }
  for (const auto& l : log.lines) EXPECT_GT(l.first, 2) << "the socket number is logged";
  EXPECT_EQ(testing::OpenDescriptorCount(), before) << "a socket was left open";
}

TEST(DnsQueryMailExchangers, ACancelEndsTheWaitAtOnce) {
  FakeDnsServer silent([](const Bytes&) { return std::vector<FakeDnsServer::Reply>{}; });
  int pipefd[2];
  ASSERT_EQ(::pipe(pipefd), 0);
  Captured log;
  MxQueryOptions options;
  options.cancel_fd = pipefd[0];
  options.report = log.sink();
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(::write(pipefd[1], "x", 1), 1);
  });
  std::string out;
  EXPECT_EQ(QueryMailExchangers(silent.address(), "a.test", options, &out), 0);
  canceller.join();
  EXPECT_TRUE(log.lines.empty());
  ::close(pipefd[0]);
  ::close(pipefd[1]);
}

// ---------------------------------------------------------------------------------------------
// The hosts of a domain.

// A server that knows exchangers for some names and answers every other question with nothing.
FakeDnsServer::Handler Zone(std::map<std::string, std::vector<Bytes>> zone) {
  return [zone](const Bytes& q) {
    auto it = zone.find(testing::QuestionOf(q));
    return std::vector<FakeDnsServer::Reply>{
        {AnswerTo(q, it == zone.end() ? std::vector<Bytes>{} : it->second)}};
  };
}

TEST(DnsFindMailHosts, ServersInOrderFallBacksAndSmartHosts) {
  FakeDnsServer empty(Zone({}));
  FakeDnsServer full(Zone({{"a.b.example.test", {MxRecord("a.b.example.test", 5, "mx.a.b")}},
                           {"example.test", {MxRecord("example.test", 5, "mx.example.test")}},
                           {"ns.test", {NsRecord("ns.test", "ns1.ns.test")}}}));
  std::string both = empty.address() + ";" + full.address();
  struct Case {
    const char* what;
    uint32_t flags;
    std::string servers;
    std::string domain;
    std::string smart;
    int count;
    std::string out;
  } cases[] = {
      {"first server empty, second answers", kSmtpUseDns, both, "a.b.example.test", "", 1,
       "mx.a.b"},
      {"blanks around servers", kSmtpUseDns, " " + empty.address() + " ; " + full.address() + " ",
       "a.b.example.test", "", 1, "mx.a.b"},
      {"nothing anywhere", kSmtpUseDns, both, "none.test", "", 0, ""},
      {"domain as host", kSmtpUseDns | kSmtpDomainAsHost, both, "none.test", "", 1, "none.test"},
      {"sub-domain search", kSmtpUseDns | kSmtpDnsSubdomain, both, "x.y.example.test", "", 1,
       "mx.example.test"},
      {"smart hosts follow exchangers", kSmtpUseDns | kSmtpUseMx, both, "example.test",
       "relay1;relay2, relay3 ", 4, "mx.example.test relay1 relay2 relay3"},
      {"smart hosts alone", kSmtpUseMx, both, "example.test", ";relay1;;relay2", 2,
       "relay1 relay2"},
      {"no DNS without USEDNS", kSmtpUseMx, both, "example.test", "", 0, ""},
      {"a name server is no mail host", kSmtpUseDns, full.address(), "ns.test", "", 0, ""},
      {"the smart host after a name-server answer", kSmtpUseDns | kSmtpUseMx, full.address(),
       "ns.test", "relay", 1, "relay"},
      {"the domain as host after a name-server answer", kSmtpUseDns | kSmtpDomainAsHost,
       full.address(), "ns.test", "", 1, "ns.test"},
      {"a 0 after a -1 empties out", kSmtpUseDns, full.address() + ";" + empty.address(), "ns.test",
       "", 0, ""},
  };
  for (const Case& c : cases) {
    MailHostSettings s;
    s.smtp_flags = c.flags;
    s.name_servers = c.servers;
    s.exchange_hosts = c.smart;
    s.own_host = "me.local";
    s.timeout_ms = 2000;
    std::string out = "junk";
    EXPECT_EQ(FindMailHosts(c.domain, s, &out), c.count) << c.what;
    EXPECT_EQ(out, c.out) << c.what;
  }
}

TEST(DnsFindMailHosts, SubdomainSearchNeverAsksTheLastLabelAlone) {
  FakeDnsServer server(Zone({}));
  MailHostSettings s;
  s.smtp_flags = kSmtpUseDns | kSmtpDnsSubdomain;
  s.name_servers = server.address();
  std::string out;
  EXPECT_EQ(FindMailHosts("w.x.y.z", s, &out), 0);
  EXPECT_EQ(server.questions(), (std::vector<std::string>{"w.x.y.z", "x.y.z", "y.z"}));
  // Without the bit only the domain itself is asked.
  FakeDnsServer once(Zone({}));
  s.smtp_flags = kSmtpUseDns;
  s.name_servers = once.address();
  FindMailHosts("w.x.y.z", s, &out);
  EXPECT_EQ(once.questions(), (std::vector<std::string>{"w.x.y.z"}));
}

// ---------------------------------------------------------------------------------------------
// A real name server.

TEST(DnsRealServer, ExchangersFromDnsmasq) {
  testing::DnsmasqServer dns(
      {"--mx-host=example.test,mx-b.example.test,20", "--mx-host=example.test,mx-a.example.test,10",
       "--mx-host=example.test,me.local,30", "--host-record=mx-a.example.test,127.0.0.1"});
  if (!dns.ok()) GTEST_SKIP() << dns.why();
  MxQueryOptions options;
  options.own_host = "me.local";
  std::string out;
  EXPECT_EQ(QueryMailExchangers(dns.address(), "example.test", options, &out), 2);
  EXPECT_EQ(out, "mx-a.example.test mx-b.example.test");
  options.own_host = "mx-a.example.test";
  EXPECT_EQ(QueryMailExchangers(dns.address(), "example.test", options, &out), 0);
}

}  // namespace
}  // namespace qv
