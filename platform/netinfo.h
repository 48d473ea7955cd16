// Network facts gathered once at start.
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

}  // namespace qv::platform
