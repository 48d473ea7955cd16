// The TLS options of install, its relay networks and the self-signed certificate it makes.
#include "setup/install_tls.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/testing/test_env.h"
#include "serve/tls.h"

namespace qv::setup {
namespace {

Result<SetupOptions> Parse(std::vector<std::string> more) {
  more.insert(more.begin(), {"install", "--prefix", "/p", "--domain", "x.test"});
  return ParseSetupArguments(more);
}

TEST(TlsArguments, TlsTurnsOnWithItsDefaultsAndEachPortMayBeOff) {
  auto plain = Parse({});
  ASSERT_TRUE(plain) << plain.error();
  EXPECT_FALSE(plain->tls);

  auto tls = Parse({"--tls"});
  ASSERT_TRUE(tls) << tls.error();
  EXPECT_TRUE(tls->tls);
  EXPECT_EQ(tls->submission_port, 587);
  EXPECT_EQ(tls->smtps_port, 465);
  EXPECT_EQ(tls->pop3s_port, 995);
  EXPECT_EQ(tls->control_tls_port, 0);
  EXPECT_EQ(tls->relay_networks, "");  // the loopback default is written

  auto off = Parse({"--tls", "--submission-port", "0", "--smtps-port", "0", "--pop3s-port", "0",
                    "--control-tls-port", "3200", "--relay-networks", "none"});
  ASSERT_TRUE(off) << off.error();
  EXPECT_EQ(off->submission_port, 0);
  EXPECT_TRUE(off->submission_port_given);
  EXPECT_EQ(off->control_tls_port, 3200);
  EXPECT_EQ(off->relay_networks, "none");

  // Files of one's own turn TLS on by themselves.
  auto own = Parse({"--cert", "a.pem", "--key", "k.pem"});
  ASSERT_TRUE(own) << own.error();
  EXPECT_TRUE(own->tls);

  const std::vector<std::vector<std::string>> bad = {
      {"--cert", "a.pem"},                       // no key
      {"--tls", "--key", "k.pem"},               // no certificate
      {"--submission-port", "2587"},             // no --tls
      {"--relay-networks", "none"},              // no --tls
      {"--tls", "--smtps-port", "25"},           // the SMTP port
      {"--tls", "--pop3s-port", "465"},          // the SMTPS port
      {"--tls", "--control-tls-port", "32000"},  // the control port
      {"--tls", "--submission-port", "65536"},   //
      {"--tls", "--submission-port", "-1"},      //
      {"--tls", "--relay-networks", "10.0.0.0/33"},
      {"--tls", "--relay-networks", "example.test"},
      {"--tls", "--cert", std::string(300, 'c'), "--key", "k.pem"},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_FALSE(Parse(args)) << joined;
  }
  // Two TLS listeners both off do not clash.
  EXPECT_TRUE(Parse({"--tls", "--smtps-port", "0", "--pop3s-port", "0"}));
  EXPECT_FALSE(ParseSetupArguments({"status", "--tls"}));
  EXPECT_FALSE(ParseSetupArguments({"uninstall", "--cert", "a.pem"}));
}

TEST(TlsArguments, RelayNetworks) {
  for (const char* good :
       {"none", "127.0.0.0/8 ::1", "10.1.2.3", " 192.168.0.0/16  fe80::/10 ", "::/0", "0.0.0.0/0"})
    EXPECT_TRUE(ValidRelayNetworks(good)) << good;
  for (const char* bad : {"", "   ", "10.0.0.0/", "10.0.0.0/x", "::1/129", "10.0.0.0/8,::1",
                          "NONE x", "10.0.0.0/8/8"})
    EXPECT_FALSE(ValidRelayNetworks(bad)) << bad;
}

// The certificate names the host, its key is the owner's only, and the services would load it.
TEST(SelfSignedCertificate, NamesTheHostAndLoadsAsTheServicesLoadIt) {
  qv::testing::TempDir dir;
  TlsFiles files{dir.Sub("server.crt"), dir.Sub("server.key")};
  ASSERT_TRUE(MakeSelfSignedCertificate("mail.example.test", files));
  struct stat st {};
  ASSERT_EQ(stat(files.key.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(MakeServerTlsContext(files.certificate, files.key));

  FILE* f = std::fopen(files.certificate.c_str(), "r");
  ASSERT_NE(f, nullptr);
  X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(X509_check_host(x, "mail.example.test", 0, 0, nullptr), 1);
  EXPECT_EQ(X509_check_host(x, "other.example.test", 0, 0, nullptr), 0);
  EXPECT_EQ(X509_cmp_current_time(X509_get0_notBefore(x)), -1);
  EXPECT_EQ(X509_cmp_current_time(X509_get0_notAfter(x)), 1);
  X509_free(x);

  // A second one is another key: renewals are told apart.
  std::string first = qv::testing::ReadFileText(files.key);
  ASSERT_TRUE(MakeSelfSignedCertificate("mail.example.test", files));
  EXPECT_NE(qv::testing::ReadFileText(files.key), first);
}

}  // namespace
}  // namespace qv::setup
