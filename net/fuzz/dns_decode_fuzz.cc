// The answer decoder under hostile datagrams: the question name, then every record to the end,
// as the resolver walks an answer, plus a name decode at every early offset.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "net/dns.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> m(data, size);
  std::string name;
  bool intact = true;
  int n = qv::DecodeName(m, qv::kDnsHeaderSize, &name, &intact);
  if (name.size() > qv::kDnsNameMax) __builtin_trap();
  size_t p = qv::kDnsHeaderSize + static_cast<size_t>(n) + 4;
  qv::DNSRECORD record;
  int records = 0;
  while (p < size) {
    int used = qv::DecodeRecord(m, p, &record);
    if (used < 0) break;
    if (used < 11 || record.name.size() > qv::kDnsNameMax || record.data.size() > qv::kDnsNameMax)
      __builtin_trap();
    p += static_cast<size_t>(used);
    ++records;
  }
  if (p > size + 4 && records > 0) __builtin_trap();
  for (size_t off = 0; off < size && off < 64; ++off) qv::DecodeName(m, off, &name);
  return 0;
}
