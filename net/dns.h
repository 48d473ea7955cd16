// The DNS resolver of outgoing mail: asks a configured name server for the mail exchangers of
// a domain (RFC 1035 messages, query type MX over UDP), orders them by preference, drops those
// not better than this host, and adds the configured fall-backs. No system resolver is used for
// MX data; the system's host lookup only turns a server's or host's name into an address.
//
// Shared by the SMTP service (the forwarder) and the send utility qvsend.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// Record types.
constexpr uint16_t kDnsTypeA = 1;
constexpr uint16_t kDnsTypeNs = 2;
constexpr uint16_t kDnsTypeSoa = 6;
constexpr uint16_t kDnsTypeWks = 11;
constexpr uint16_t kDnsTypeHinfo = 13;
constexpr uint16_t kDnsTypeMinfo = 14;
constexpr uint16_t kDnsTypeMx = 15;
constexpr uint16_t kDnsClassIn = 1;

constexpr uint16_t kDnsFlagsQuery = 0x0100;  // standard query, recursion desired
constexpr uint16_t kDnsFlagResponse = 0x8000;
constexpr uint16_t kDnsPort = 53;
constexpr size_t kDnsHeaderSize = 12;
constexpr size_t kDnsDatagramSize = 1024;  // the largest answer read
constexpr size_t kDnsNameMax = 127;        // characters of a decoded name or data text
constexpr size_t kDnsMaxEntries = 32;      // exchanger and name-server entries kept per answer
constexpr int kDnsTimeoutMs = 20000;       // the wait for the answer to one query

// Failure texts, without their line end: the service logs them with "\r\n", qvsend prints them
// with "\n". The %s is the name server as configured.
inline constexpr char kDnsCannotFindServer[] = "Cannot find DNS-Server %s";
inline constexpr char kDnsNoResponse[] = "The DNS-Server %s does not respond";
inline constexpr char kDnsSendError[] = "Error sending DNS-Header to %s";
inline constexpr char kDnsTimedOut[] = "DNS %s timed out";

struct DnsHeader {
  uint16_t id = 0;
  uint16_t flags = kDnsFlagsQuery;
  uint16_t qdcount = 1;
  uint16_t ancount = 0;
  uint16_t nscount = 0;
  uint16_t arcount = 0;
};

// One decoded resource record.
struct DNSRECORD {
  std::string name;  // at most kDnsNameMax characters, lower case
  uint16_t type = 0;
  uint16_t rclass = 0;
  uint32_t ttl = 0;
  uint16_t length = 0;  // of the data on the wire
  std::string data;     // the data as text (see DecodeRecord), at most kDnsNameMax characters
};

// One exchanger (type 15) or name-server (type 2, preference 0) entry of an answer.
struct MXENTRY {
  int32_t preference = 0;
  int32_t type = 0;
  std::string host;
};

// The query datagram: the header, the domain as labels, QTYPE and QCLASS, 16-bit fields
// big-endian. One trailing "." of the domain is ignored. Empty when the domain cannot be written
// as labels (empty, an empty label, a label over 63 or a name over 253 characters).
std::vector<uint8_t> BuildQuery(const DnsHeader& header, std::string_view domain,
                                uint16_t qtype = kDnsTypeMx, uint16_t qclass = kDnsClassIn);

// Sends the query for the domain in one datagram to the server. 1 when it was sent.
int EncodeQuery(int socket, const DnsHeader& header, std::string_view domain,
                const sockaddr_in& server);

// Decodes the name at the offset into lower case labels joined by ".", following compression
// pointers anywhere in the message. Returns the bytes the name occupies at the offset (up to
// and including its zero byte or its first pointer). The decoding never reads outside the
// message: a label or pointer past its end, a pointer loop, or a name longer than kDnsNameMax
// stops it with what was read so far and clears *intact.
int DecodeName(std::span<const uint8_t> message, size_t offset, std::string* name,
               bool* intact = nullptr);

// Decodes the record at the offset: its name, type, class, time to live, data length and the
// data as text. Returns the bytes consumed, or -1 when the name is empty or the record is not
// whole inside the message (the caller stops decoding there).
int DecodeRecord(std::span<const uint8_t> message, size_t offset, DNSRECORD* record);

// Called with the UDP socket number and a failure text (no line end).
using DnsReport = std::function<void(int socket, const std::string& text)>;

struct MxQueryOptions {
  // Exchangers whose preference is not better than this host's own entry are dropped. Empty:
  // no limit.
  std::string own_host;
  // Without exchangers, the first name-server entry whose host contains this text is chosen
  // (the domain; qvsend gives the whole address). Empty: the queried domain.
  std::string prefer_server_containing;
  int timeout_ms = kDnsTimeoutMs;
  // When this descriptor becomes readable the wait for the answer ends (result 0, no report).
  int cancel_fd = -1;
  DnsReport report;
};

// Asks the name server ("host", "address" or either with ":port") for the exchangers of the
// domain. n > 0: n exchanger names in *out separated by one blank, best preference first
// (equal preferences in answer order); -1: no exchanger record, *out holds one name-server
// name; 0: nothing usable or an error.
//
// Each query carries a random ID; only a datagram from the server's address and port that
// carries that ID, the response bit and the question asked is taken as the answer.
int QueryMailExchangers(std::string_view name_server, std::string_view domain,
                        const MxQueryOptions& options, std::string* out);

// What FindMailHosts takes from the configuration.
struct MailHostSettings {
  uint32_t smtp_flags = 0;     // USEDNS, USEMX, DNSSUBDOMAIN, DOMAINASHOST
  std::string name_servers;    // separated by ";"
  std::string exchange_hosts;  // smart hosts, separated by ";", blank or ","
  std::string own_host;        // this host's name
  int timeout_ms = kDnsTimeoutMs;
  int cancel_fd = -1;
  DnsReport report;
};

// The hosts to try for mail to the domain, in order, separated by one blank in *out: the
// exchangers (or the domain itself), then the smart hosts. Returns their count; 0 means no mail
// host was found. A name server named by an answer without exchangers is never one of them.
int FindMailHosts(std::string_view domain, const MailHostSettings& settings, std::string* out);

// Splits "host" or "host:port" (the port 1 to 65535). False when the host is empty or the
// port is not a number in range.
bool SplitHostPort(std::string_view text, uint16_t default_port, std::string* host, uint16_t* port);

// The IPv4 address of a dotted address or, failing that, the first of the host's lookup.
bool ResolveIPv4(const std::string& host, in_addr* address);

}  // namespace qv
