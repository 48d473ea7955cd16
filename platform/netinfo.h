// Network facts gathered once at start, and the system's name server.
#pragma once

#include <string>

namespace qv::platform {

struct NetworkFacts {
  std::string description;  // of the sockets layer
  std::string status;       // of the sockets layer
  std::string host_name;
  std::string address;  // first IPv4 address of the host name, dotted; empty when unresolved
};

NetworkFacts GatherNetworkFacts();

// The operating system's name server: the value of the first "nameserver" line of the resolver
// configuration `resolv_conf`; empty if there is none.
inline constexpr char kResolvConf[] = "/etc/resolv.conf";
std::string SystemNameServer(const std::string& resolv_conf = kResolvConf);

}  // namespace qv::platform
