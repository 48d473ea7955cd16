#include "net/dns.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "common/config.h"
#include "common/strings.h"
#include "platform/unique_fd.h"

namespace qv {

namespace {

// The most compression pointers one name may follow. A name of kDnsNameMax characters has at
// most 64 labels, each of which a pointer may reach; more can only be a loop.
constexpr int kMaxPointers = 64;
constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxWireName = 253;

char Lower(uint8_t c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

uint16_t Get16(std::span<const uint8_t> m, size_t at) {
  return static_cast<uint16_t>((m[at] << 8) | m[at + 1]);
}

uint32_t Get32(std::span<const uint8_t> m, size_t at) {
  return (static_cast<uint32_t>(m[at]) << 24) | (static_cast<uint32_t>(m[at + 1]) << 16) |
         (static_cast<uint32_t>(m[at + 2]) << 8) | m[at + 3];
}

void Put16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v >> 8));
  out->push_back(static_cast<uint8_t>(v & 0xff));
}

void Append(std::string* text, const char* format, unsigned long value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, format, value);
  *text += buf;
}

const char* ProtocolName(uint8_t protocol) {
  switch (protocol) {
    case 0:
      return "IP";
    case 1:
      return "ICMP";
    case 3:
      return "GGP";
    case 6:
      return "TCP";
    case 8:
      return "EGP";
    case 12:
      return "PUP";
    case 17:
      return "UDP";
    case 20:
      return "HMP";
    case 22:
      return "XNS-IDP";
    case 27:
      return "RDP";
    case 66:
      return "RVD";
    default:
      return nullptr;
  }
}

// The data of a record as text. `at` and `length` delimit the data inside the message (the
// caller has checked that they do). Fixed fields that the data is too short for are not read:
// such a record is shown as the bytes it holds.
std::string DataText(std::span<const uint8_t> m, size_t at, size_t length, uint16_t type) {
  std::string text;
  size_t end = at + length;
  auto hex = [&] {
    text.clear();
    for (size_t i = at; i < end; ++i) Append(&text, "%02lx ", m[i]);
    text += '\t';
  };
  switch (type) {
    case kDnsTypeA:
      if (length < 4) {
        hex();
        break;
      }
      for (int i = 0; i < 4; ++i) Append(&text, i == 0 ? "%lu" : ".%lu", m[at + i]);
      break;
    case 2:
    case 3:
    case 4:
    case 5:
    case 7:
    case 8:
    case 12:
    case 255:
      DecodeName(m, at, &text);
      break;
    case kDnsTypeSoa: {
      std::string primary, mailbox;
      size_t p = at;
      p += DecodeName(m, p, &primary);
      p += DecodeName(m, p, &mailbox);
      text = primary + "\n" + mailbox;
      if (p + 20 > end) break;
      Append(&text, "Serial: %lu\n", Get32(m, p));
      Append(&text, "Refresh: %lu\n", Get32(m, p + 4));
      Append(&text, "Retry: %lu\n", Get32(m, p + 8));
      Append(&text, "Expire: %lu\n", Get32(m, p + 12));
      Append(&text, "Minimum: %lu", Get32(m, p + 16));
      break;
    }
    case kDnsTypeWks: {
      if (length < 5) {
        hex();
        break;
      }
      for (int i = 0; i < 4; ++i) Append(&text, i == 0 ? "%lu" : ".%lu", m[at + i]);
      text += " (";
      const char* name = ProtocolName(m[at + 4]);
      if (name != nullptr) {
        text += name;
      } else {
        Append(&text, "%lu", m[at + 4]);
      }
      text += ")\n";
      for (size_t i = at + 5; i < end && text.size() <= kDnsNameMax; ++i)
        for (int bit = 0; bit < 8; ++bit)
          if (m[i] & (0x80 >> bit)) Append(&text, "%lu, ", (i - at - 5) * 8 + bit);
      break;
    }
    case kDnsTypeHinfo: {
      size_t p = at;
      for (int part = 0; part < 2 && p < end; ++part) {
        size_t n = m[p++];
        if (n > end - p) n = end - p;
        if (part == 1) text += '\n';
        text.append(reinterpret_cast<const char*>(m.data() + p), n);
        p += n;
      }
      break;
    }
    case kDnsTypeMinfo: {
      std::string first, second;
      size_t p = at + DecodeName(m, at, &first);
      DecodeName(m, p, &second);
      text = first + "\n" + second;
      break;
    }
    case kDnsTypeMx: {
      if (length < 3) {
        hex();
        break;
      }
      DecodeName(m, at + 2, &text);
      Append(&text, " %lu", Get16(m, at));
      break;
    }
    default:
      hex();
      break;
  }
  if (text.size() > kDnsNameMax) text.resize(kDnsNameMax);
  return text;
}

uint16_t RandomId() {
  uint16_t id = 0;
  if (getrandom(&id, sizeof id, 0) == static_cast<ssize_t>(sizeof id)) return id;
  static thread_local std::mt19937 rng{std::random_device{}()};
  return static_cast<uint16_t>(rng());
}

// The domain as the question carries it: without one trailing ".".
std::string_view QuestionName(std::string_view domain) {
  if (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
  return domain;
}

// True when the datagram is the answer to the question: the ID, the response bit, one
// question with the name, type and class that were asked. *records gets the offset just after
// the question.
bool IsAnswerTo(std::span<const uint8_t> m, uint16_t id, std::string_view domain, size_t* records) {
  if (m.size() < kDnsHeaderSize) return false;
  if (Get16(m, 0) != id || (Get16(m, 2) & kDnsFlagResponse) == 0 || Get16(m, 4) != 1) return false;
  std::string name;
  bool intact = true;
  size_t p = kDnsHeaderSize + DecodeName(m, kDnsHeaderSize, &name, &intact);
  if (!intact || p + 4 > m.size()) return false;
  if (!EqualsNoCase(name, QuestionName(domain))) return false;
  if (Get16(m, p) != kDnsTypeMx || Get16(m, p + 2) != kDnsClassIn) return false;
  *records = p + 4;
  return true;
}

enum class Wait { kReady, kTimeout, kCancelled };

Wait WaitReadable(int fd, int cancel_fd, int timeout_ms) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {cancel_fd, POLLIN, 0}};
  nfds_t n = cancel_fd >= 0 ? 2 : 1;
  for (;;) {
    int r = ::poll(fds, n, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return Wait::kTimeout;
    if (n == 2 && fds[1].revents != 0) return Wait::kCancelled;
    return Wait::kReady;
  }
}

void Report(const MxQueryOptions& options, int socket, const char* format,
            std::string_view server) {
  if (options.report) options.report(socket, Format(format, std::string(server).c_str()));
}

}  // namespace

std::vector<uint8_t> BuildQuery(const DnsHeader& header, std::string_view domain, uint16_t qtype,
                                uint16_t qclass) {
  domain = QuestionName(domain);
  if (domain.empty() || domain.size() > kMaxWireName) return {};
  std::vector<uint8_t> out;
  out.reserve(kDnsHeaderSize + domain.size() + 2 + 4);
  for (uint16_t v :
       {header.id, header.flags, header.qdcount, header.ancount, header.nscount, header.arcount})
    Put16(&out, v);
  size_t start = 0;
  while (start <= domain.size()) {
    size_t dot = domain.find('.', start);
    if (dot == std::string_view::npos) dot = domain.size();
    size_t len = dot - start;
    if (len == 0 || len > kMaxLabel) return {};
    out.push_back(static_cast<uint8_t>(len));
    out.insert(out.end(), domain.begin() + start, domain.begin() + dot);
    start = dot + 1;
  }
  out.push_back(0);
  Put16(&out, qtype);
  Put16(&out, qclass);
  return out;
}

int EncodeQuery(int socket, const DnsHeader& header, std::string_view domain,
                const sockaddr_in& server) {
  std::vector<uint8_t> query = BuildQuery(header, domain);
  if (query.empty()) return 0;
  ssize_t sent = ::sendto(socket, query.data(), query.size(), 0,
                          reinterpret_cast<const sockaddr*>(&server), sizeof server);
  return sent == static_cast<ssize_t>(query.size()) ? 1 : 0;
}

int DecodeName(std::span<const uint8_t> message, size_t offset, std::string* name, bool* intact) {
  name->clear();
  bool ok = true;
  long consumed = -1;  // fixed by the first pointer or the end of the name
  size_t pos = offset;
  int pointers = 0;
  for (;;) {
    if (pos >= message.size()) {
      ok = false;
      break;
    }
    uint8_t len = message[pos];
    if (len == 0) {
      if (consumed < 0) consumed = static_cast<long>(pos + 1 - offset);
      break;
    }
    if (len >= 64) {
      if (pos + 1 >= message.size()) {
        ok = false;
        break;
      }
      size_t target = (static_cast<size_t>(len & 0x3f) << 8) | message[pos + 1];
      if (consumed < 0) consumed = static_cast<long>(pos + 2 - offset);
      if (target >= message.size() || ++pointers > kMaxPointers) {
        ok = false;
        break;
      }
      pos = target;
      continue;
    }
    if (pos + 1 + len > message.size()) {
      ok = false;
      break;
    }
    if (!name->empty()) name->push_back('.');
    for (size_t i = pos + 1; i <= pos + len; ++i) {
      uint8_t c = message[i];
      // Blanks and control bytes would split host lists and log lines: shown as "?".
      name->push_back(c <= ' ' || c >= 0x7f ? '?' : Lower(c));
    }
    if (name->size() > kDnsNameMax) {
      name->resize(kDnsNameMax);
      ok = false;
      break;
    }
    pos += 1 + len;
  }
  if (consumed < 0) {
    size_t stop = std::min(pos, message.size());
    consumed = stop > offset ? static_cast<long>(stop - offset) : 0;
  }
  if (intact != nullptr) *intact = ok;
  return static_cast<int>(consumed);
}

int DecodeRecord(std::span<const uint8_t> message, size_t offset, DNSRECORD* record) {
  bool intact = true;
  int n = DecodeName(message, offset, &record->name, &intact);
  if (!intact || record->name.empty()) return -1;
  size_t p = offset + static_cast<size_t>(n);
  if (p + 10 > message.size()) return -1;
  record->type = Get16(message, p);
  record->rclass = Get16(message, p + 2);
  record->ttl = Get32(message, p + 4);
  record->length = Get16(message, p + 8);
  if (p + 10 + record->length > message.size()) return -1;
  record->data = DataText(message, p + 10, record->length, record->type);
  return n + 10 + record->length;
}

bool SplitHostPort(std::string_view text, uint16_t default_port, std::string* host,
                   uint16_t* port) {
  size_t colon = text.rfind(':');
  *port = default_port;
  if (colon != std::string_view::npos) {
    std::string_view digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    unsigned long value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    text = text.substr(0, colon);
  }
  host->assign(text);
  return !host->empty();
}

bool ResolveIPv4(const std::string& host, in_addr* address) {
  if (host.empty()) return false;
  if (::inet_aton(host.c_str(), address) != 0) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return true;
}

int QueryMailExchangers(std::string_view name_server, std::string_view domain,
                        const MxQueryOptions& options, std::string* out) {
  out->clear();
  platform::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (sock.get() < 0 ||
      ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    Report(options, sock.get() < 0 ? 0 : sock.get(), kDnsNoResponse, name_server);
    return 0;
  }
  std::string host;
  uint16_t port = kDnsPort;
  sockaddr_in server{};
  server.sin_family = AF_INET;
  if (!SplitHostPort(name_server, kDnsPort, &host, &port) || !ResolveIPv4(host, &server.sin_addr)) {
    Report(options, sock.get(), kDnsCannotFindServer, name_server);
    return 0;
  }
  server.sin_port = htons(port);

  DnsHeader header;
  header.id = RandomId();
  if (EncodeQuery(sock.get(), header, domain, server) != 1) {
    Report(options, sock.get(), kDnsSendError, name_server);
    return 0;
  }

  // Wait for the answer to this question from this server; anything else is ignored until the
  // time is up.
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(options.timeout_ms);
  uint8_t buffer[kDnsDatagramSize];
  std::span<const uint8_t> answer;
  size_t records = 0;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) left = std::chrono::milliseconds(0);
    Wait w = WaitReadable(sock.get(), options.cancel_fd, static_cast<int>(left.count()));
    if (w == Wait::kCancelled) return 0;
    if (w == Wait::kTimeout) {
      Report(options, sock.get(), kDnsTimedOut, name_server);
      return 0;
    }
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t got = ::recvfrom(sock.get(), buffer, sizeof buffer, 0,
                             reinterpret_cast<sockaddr*>(&from), &from_len);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return 0;
    }
    if (from_len != sizeof from || from.sin_family != AF_INET ||
        from.sin_addr.s_addr != server.sin_addr.s_addr || from.sin_port != server.sin_port)
      continue;
    std::span<const uint8_t> m(buffer, static_cast<size_t>(got));
    if (!IsAnswerTo(m, header.id, domain, &records)) continue;
    answer = m;
    break;
  }

  // Every record of every section, until one cannot be decoded.
  std::vector<MXENTRY> entries;
  bool exchanger_seen = false;
  size_t p = records;
  while (p < answer.size()) {
    DNSRECORD record;
    int n = DecodeRecord(answer, p, &record);
    if (n < 0) break;
    p += static_cast<size_t>(n);
    if (entries.size() >= kDnsMaxEntries) continue;
    if (record.type == kDnsTypeMx) {
      MXENTRY e;
      e.type = kDnsTypeMx;
      size_t blank = record.data.find(' ');
      e.host = record.data.substr(0, blank);
      if (blank != std::string::npos)
        e.preference =
            static_cast<int32_t>(std::strtol(record.data.c_str() + blank + 1, nullptr, 10));
      if (!e.host.empty() && e.host.back() == '.') e.host.pop_back();
      entries.push_back(std::move(e));
      exchanger_seen = true;
    } else if (record.type == kDnsTypeNs) {
      MXENTRY e;
      e.type = kDnsTypeNs;
      e.host = record.data;
      if (!e.host.empty() && e.host.back() == '.') e.host.pop_back();
      entries.push_back(std::move(e));
    }
  }

  // This host's own entry limits the exchangers worth trying: mail must move closer to its
  // destination, never back to this host or to a peer of equal rank.
  int32_t limit = 65535;
  if (!options.own_host.empty()) {
    for (const MXENTRY& e : entries) {
      if (EqualsNoCase(e.host, options.own_host)) {
        limit = e.preference;
        break;
      }
    }
  }
  for (MXENTRY& e : entries)
    if (e.preference >= limit) e.host.clear();

  // Stable sort by preference: equal preferences keep the order of the answer.
  for (bool swapped = true; swapped;) {
    swapped = false;
    for (size_t i = 1; i < entries.size(); ++i) {
      if (entries[i].preference < entries[i - 1].preference) {
        std::swap(entries[i], entries[i - 1]);
        swapped = true;
      }
    }
  }

  if (exchanger_seen) {
    int count = 0;
    for (const MXENTRY& e : entries) {
      if (e.type != kDnsTypeMx || e.host.empty()) continue;
      if (count > 0) out->push_back(' ');
      *out += e.host;
      ++count;
    }
    return count;
  }
  std::string_view wanted = options.prefer_server_containing.empty()
                                ? QuestionName(domain)
                                : std::string_view(options.prefer_server_containing);
  const MXENTRY* chosen = nullptr;
  for (const MXENTRY& e : entries) {
    if (e.type == kDnsTypeNs && !e.host.empty() &&
        FindNoCase(e.host, wanted) != std::string_view::npos) {
      chosen = &e;
      break;
    }
  }
  if (chosen == nullptr) {
    for (const MXENTRY& e : entries) {
      if (e.type == kDnsTypeNs) {
        chosen = &e;
        break;
      }
    }
  }
  if (chosen != nullptr) *out = chosen->host;
  return out->empty() ? 0 : -1;
}

int FindMailHosts(std::string_view domain, const MailHostSettings& settings, std::string* out) {
  out->clear();
  int count = 0;
  std::string candidate(domain);
  MxQueryOptions options;
  options.own_host = settings.own_host;
  options.timeout_ms = settings.timeout_ms;
  options.cancel_fd = settings.cancel_fd;
  options.report = settings.report;
  for (;;) {
    if (settings.smtp_flags & kSmtpUseDns) {
      std::string_view servers = settings.name_servers;
      while (!servers.empty()) {
        size_t semi = servers.find(';');
        std::string_view server = servers.substr(0, semi);
        servers = semi == std::string_view::npos ? std::string_view() : servers.substr(semi + 1);
        while (!server.empty() && server.front() == ' ') server.remove_prefix(1);
        while (!server.empty() && server.back() == ' ') server.remove_suffix(1);
        if (server.empty()) continue;
        std::string found;
        // A result of -1 names a name server, not a mail host: the list holds mail hosts only.
        if (int r = QueryMailExchangers(server, candidate, options, &found); r > 0) {
          *out = found;
          count = r;
          break;
        }
      }
      if (out->empty() && (settings.smtp_flags & kSmtpDomainAsHost)) {
        *out = candidate;
        count = 1;
      }
    }
    if (!out->empty() || !(settings.smtp_flags & kSmtpDnsSubdomain)) break;
    // Drop the first label while at least two dots remain: never down to the last label alone.
    size_t first = candidate.find('.');
    if (first == std::string::npos || candidate.find('.', first + 1) == std::string::npos) break;
    candidate.erase(0, first + 1);
  }
  if (settings.smtp_flags & kSmtpUseMx) {
    std::string_view hosts = settings.exchange_hosts;
    size_t i = 0;
    while (i < hosts.size()) {
      size_t j = hosts.find_first_of("; ,", i);
      if (j == std::string_view::npos) j = hosts.size();
      if (j > i) {
        if (!out->empty()) out->push_back(' ');
        out->append(hosts.substr(i, j - i));
        ++count;
      }
      i = j + 1;
    }
  }
  return count;
}

}  // namespace qv
