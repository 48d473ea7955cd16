// Connections per remote address of one listener that have not logged on yet, so that one
// address cannot take every slot of a port with connections that never log on. A connection
// holds a Token while it counts; the token gives its place back when it is reset (at the
// logon) or destroyed (with the connection). For the event loop's thread only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qv {

class PeerCount {
 public:
  // A place of one address; empty when default-made or moved from.
  class Token {
   public:
    Token() = default;
    Token(Token&& other) noexcept { *this = std::move(other); }
    Token& operator=(Token&& other) noexcept;
    ~Token() { Reset(); }
    void Reset();
    bool held() const { return count_ != nullptr; }

   private:
    friend class PeerCount;
    PeerCount* count_ = nullptr;
    std::string peer_;
  };

  // `limit`: the places of one address.
  explicit PeerCount(size_t limit) : limit_(limit) {}
  PeerCount(const PeerCount&) = delete;
  PeerCount& operator=(const PeerCount&) = delete;

  // True while `peer` may take another place.
  bool Admits(std::string_view peer) const;
  // A place of `peer` (taken even beyond the limit: ask Admits first).
  Token Take(std::string_view peer);
  size_t Held(std::string_view peer) const;
  size_t limit() const { return limit_; }

 private:
  void Release(const std::string& peer);

  size_t limit_;
  std::unordered_map<std::string, size_t> held_;
};

}  // namespace qv
