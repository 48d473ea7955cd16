// The dial-up link of this machine, for a service program's main.
#pragma once

#include <memory>

#include "common/dialup_link.h"

namespace qv {

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
// process; the dial-up layer loads at the first use of the link. The service programs link the
// dial-up library (qvdialup) that defines it.
std::unique_ptr<SystemDialupLink> MakeSystemDialupLink(const SYSTEMSTRUCT& system);

}  // namespace qv
