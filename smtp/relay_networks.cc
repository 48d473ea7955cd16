#include "smtp/relay_networks.h"

#include <arpa/inet.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <string>

namespace qv::smtp {
namespace {

// An address as 16 bytes (IPv4 in its IPv6-mapped form) and the prefix bits of a plain
// IPv4 address counted in those 16 bytes.
struct Address {
  std::array<uint8_t, 16> bytes{};
  bool v4 = false;
};

bool ParseAddress(std::string_view text, Address* out) {
  if (text.empty() || text.size() > 45) return false;
  std::string zero(text);
  in_addr v4{};
  if (inet_pton(AF_INET, zero.c_str(), &v4) == 1) {
    out->bytes = {};
    out->bytes[10] = 0xff;
    out->bytes[11] = 0xff;
    const auto* b = reinterpret_cast<const uint8_t*>(&v4.s_addr);
    for (int i = 0; i < 4; ++i) out->bytes[12 + i] = b[i];
    out->v4 = true;
    return true;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, zero.c_str(), &v6) != 1) return false;
  for (int i = 0; i < 16; ++i) out->bytes[i] = v6.s6_addr[i];
  out->v4 = false;
  return true;
}

bool SamePrefix(const Address& a, const Address& b, int bits) {
  for (int i = 0; i < 16 && bits > 0; ++i, bits -= 8) {
    uint8_t mask = bits >= 8 ? 0xff : static_cast<uint8_t>(0xff << (8 - bits));
    if ((a.bytes[i] & mask) != (b.bytes[i] & mask)) return false;
  }
  return true;
}

// One entry: an address, or an address and a prefix length.
bool Matches(const Address& peer, std::string_view entry) {
  size_t slash = entry.find('/');
  Address network;
  if (!ParseAddress(entry.substr(0, slash), &network)) return false;
  int most = network.v4 ? 32 : 128;
  int bits = most;
  if (slash != std::string_view::npos) {
    std::string_view digits = entry.substr(slash + 1);
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
    if (ec != std::errc() || end != digits.data() + digits.size() || bits < 0 || bits > most)
      return false;
  }
  return SamePrefix(peer, network, network.v4 ? bits + 96 : bits);
}

}  // namespace

bool InRelayNetworks(std::string_view peer, std::string_view networks) {
  Address address;
  if (!ParseAddress(peer, &address)) return false;
  constexpr std::string_view kSeparators = " \t,;";
  size_t pos = 0;
  while (pos < networks.size()) {
    size_t start = networks.find_first_not_of(kSeparators, pos);
    if (start == std::string_view::npos) break;
    size_t end = networks.find_first_of(kSeparators, start);
    if (end == std::string_view::npos) end = networks.size();
    if (Matches(address, networks.substr(start, end - start))) return true;
    pos = end;
  }
  return false;
}

}  // namespace qv::smtp
