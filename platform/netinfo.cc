#include "platform/netinfo.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/version.hpp>
#include <fstream>
#include <sstream>

namespace qv::platform {

NetworkFacts GatherNetworkFacts() {
  NetworkFacts facts;
  facts.description = "Linux sockets (Asio " + std::to_string(ASIO_VERSION / 100000) + "." +
                      std::to_string(ASIO_VERSION / 100 % 1000) + "." +
                      std::to_string(ASIO_VERSION % 100) + ")";
  facts.status = "Running";
  char name[128] = {};
  if (gethostname(name, sizeof name - 1) != 0) return facts;
  facts.host_name = name;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) == 0 && result != nullptr) {
    char text[INET_ADDRSTRLEN] = {};
    auto* sin = reinterpret_cast<sockaddr_in*>(result->ai_addr);
    if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr) facts.address = text;
    freeaddrinfo(result);
  }
  return facts;
}

std::string SystemNameServer(const std::string& resolv_conf) {
  std::ifstream in(resolv_conf);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key, value;
    if (words >> key >> value && key == "nameserver") return value;
  }
  return {};
}

}  // namespace qv::platform
