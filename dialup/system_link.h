// The dial-up link of this machine, for a service program's main.
#pragma once

#include <memory>

#include "common/dialup_link.h"

namespace qv {

struct SYSTEMSTRUCT;

// The link manager, set up from the common settings. It loads the link share library at once,
// for the life of the process; the dial-up layer loads at the first use of the link. The service
// programs link the dial-up library (qvdialup) that defines it.
std::unique_ptr<DialupLink> MakeSystemDialupLink(const SYSTEMSTRUCT& system);

}  // namespace qv
