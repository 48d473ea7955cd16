// What a control or password session gives back for one line.
#pragma once

#include <string>

namespace qv::control {

// Reply kinds: nothing to send, an error reply, a normal reply.
constexpr int kReplyNone = 0;
constexpr int kReplyError = 1;
constexpr int kReplyNormal = 2;

struct SessionReply {
  int kind = kReplyNone;
  std::string text;
  // A failed login or password change: the connection sends the reply only after a pause, so
  // that guessing passwords is slow (other connections are served meanwhile).
  bool delayed = false;
  // The session has ended: the connection closes once the reply is sent.
  bool close = false;
};

// The pause before a delayed reply.
constexpr int kFailureDelayMs = 1000;

}  // namespace qv::control
