// The dial-up link as the mail services use it: opened before work that needs the Internet
// (the SMTP service's ping, a forward run, a check of remote POP accounts) and closed after it.
// The link manager (dialup/) is the implementation, made by MakeSystemDialupLink
// (dialup/system_link.h); the services see only this interface.
//
// Contract:
// - Every Open that succeeded is matched by one Close of the same entry; the link goes down when
//   the last user in any process closes a link the system dialled.
// - Open fills `error` with a text for the log line "Could not open dial-up profile ..." when it
//   fails.
// - Implementations are thread-safe: the event loop and worker threads call them at once.
#pragma once

#include <memory>
#include <string>

namespace qv {

// The open error of a machine without the dial-up layer.
inline constexpr char kNoDialupLayerText[] = "Could not load 'rasapi32.dll'";

class DialupLink {
 public:
  virtual ~DialupLink() = default;

  // Dials the phone-book entry or joins its link; false with `error` filled.
  virtual bool Open(const std::string& entry, std::string* error) = 0;
  // One user less; false when the link could not be released properly.
  virtual bool Close(const std::string& entry) = 0;
  // True while a connection of the entry exists and is connected.
  virtual bool IsActive(const std::string& entry) = 0;
};

// A machine without dial-up networking: every open fails with the text of the missing dial-up
// layer, closing does nothing, no link is ever active.
DialupLink& NoDialupLink();

}  // namespace qv
