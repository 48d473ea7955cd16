// Test helpers for the resolver: DNS message builders and a UDP name server on a loopback port
// that answers from a test's handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qv::testing {

using Bytes = std::vector<uint8_t>;

// A name as uncompressed labels ending with the zero byte.
Bytes Labels(const std::string& dotted);
// A compression pointer to the offset.
Bytes Pointer(uint16_t offset);
Bytes Be16(uint16_t v);
Bytes Be32(uint32_t v);
Bytes Cat(std::initializer_list<Bytes> parts);
// A resource record with the name bytes as given.
Bytes Record(const Bytes& name, uint16_t type, const Bytes& data, uint16_t rclass = 1,
             uint32_t ttl = 3600);
// MX data: the preference and the exchange name bytes.
Bytes MxData(uint16_t preference, const Bytes& name);

// An answer to the query: its ID, the response flags, its question, then the records counted
// as answers.
Bytes AnswerTo(const Bytes& query, const std::vector<Bytes>& records, uint16_t flags = 0x8180);

// The question name of a query datagram ("" when it cannot be read).
std::string QuestionOf(const Bytes& query);

// A name server on 127.0.0.1: every datagram received is recorded and passed to the handler,
// whose replies are sent back to the asker. A reply marked `from_other_port` is sent from a
// second socket, as a forger on the path would.
class FakeDnsServer {
 public:
  struct Reply {
    Bytes datagram;
    bool from_other_port = false;
  };
  using Handler = std::function<std::vector<Reply>(const Bytes& query)>;

  explicit FakeDnsServer(Handler handler);
  ~FakeDnsServer();
  FakeDnsServer(const FakeDnsServer&) = delete;
  FakeDnsServer& operator=(const FakeDnsServer&) = delete;

  uint16_t port() const { return port_; }
  std::string address() const;                 // "127.0.0.1:<port>"
  std::vector<std::string> questions() const;  // the names asked, in order

 private:
  void Serve();
  Handler handler_;
  int fd_ = -1;
  int other_fd_ = -1;
  int stop_[2] = {-1, -1};
  uint16_t port_ = 0;
  mutable std::mutex mu_;
  std::vector<std::string> questions_;
  std::thread thread_;
};

// Debian's dnsmasq as a real name server on a free loopback UDP port, answering only from the
// records given as its options (such as "--mx-host=example.test,mx.example.test,10").
class DnsmasqServer {
 public:
  explicit DnsmasqServer(const std::vector<std::string>& records);
  ~DnsmasqServer();
  DnsmasqServer(const DnsmasqServer&) = delete;
  DnsmasqServer& operator=(const DnsmasqServer&) = delete;

  // False when dnsmasq is not installed or did not answer (the reason in why()).
  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int pid_ = -1;
  uint16_t port_ = 0;
  bool ok_ = false;
  std::string why_;
};

// Descriptors open in this process (to show that nothing leaks).
int OpenDescriptorCount();

}  // namespace qv::testing
