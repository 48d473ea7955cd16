// What a control or password session gives back for one line: the reply of every line
// protocol, with `code` one of the kinds below. A failed login or password change is `delayed`:
// the connection sends it only after a pause, so that guessing passwords is slow (other
// connections are served meanwhile). `close`: the session has ended, and the connection closes
// once the reply is sent.
#pragma once

#include "serve/command_table.h"

namespace qv::control {

// Reply kinds: nothing to send, an error reply, a normal reply.
constexpr int kReplyNone = 0;
constexpr int kReplyError = 1;
constexpr int kReplyNormal = 2;

using SessionReply = CommandReply;

// The pause before a delayed reply.
constexpr int kFailureDelayMs = 1000;

}  // namespace qv::control
