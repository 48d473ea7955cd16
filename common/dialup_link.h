// The dial-up link as the mail services use it: opened before work that needs the Internet
// (the SMTP service's ping, a forward run, a check of remote POP accounts) and closed after it.
// The link manager (dialup/) is the implementation, made by MakeSystemDialupLink below for a
// service program's main; the services see only the DialupLink interface.
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

struct SYSTEMSTRUCT;

// The link manager as a service program holds it: the link, and the start of the link share
// library, which writes its trace lines ("Will load", "Cannot load") and so comes after the
// service has set up its trace.
class SystemDialupLink : public DialupLink {
 public:
  // Loads the link share library unless that was done (or tried) before; a link used before
  // Start loads it at that first use.
  virtual void Start() = 0;
};

// The link manager, set up from the common settings. The program runs Start from its service's
// loop, the first work after the trace is set up, so the library is there for the life of the
// process; the dial-up layer loads at the first use of the link. Defined by the dial-up library
// (qvdialup), which the service programs link.
std::unique_ptr<SystemDialupLink> MakeSystemDialupLink(const SYSTEMSTRUCT& system);

}  // namespace qv
