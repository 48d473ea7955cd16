#include "serve/peer_count.h"

#include <utility>

namespace qv {

PeerCount::Token& PeerCount::Token::operator=(Token&& other) noexcept {
  if (this == &other) return *this;
  Reset();
  count_ = std::exchange(other.count_, nullptr);
  peer_ = std::move(other.peer_);
  return *this;
}

void PeerCount::Token::Reset() {
  if (count_ != nullptr) std::exchange(count_, nullptr)->Release(peer_);
}

bool PeerCount::Admits(std::string_view peer) const {
  return Held(peer) < limit_;
}

size_t PeerCount::Held(std::string_view peer) const {
  auto it = held_.find(std::string(peer));
  return it == held_.end() ? 0 : it->second;
}

PeerCount::Token PeerCount::Take(std::string_view peer) {
  Token token;
  token.count_ = this;
  token.peer_ = std::string(peer);
  ++held_[token.peer_];
  return token;
}

void PeerCount::Release(const std::string& peer) {
  auto it = held_.find(peer);
  if (it == held_.end()) return;
  if (--it->second == 0) held_.erase(it);
}

}  // namespace qv
