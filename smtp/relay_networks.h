// The networks a client may relay from without AUTH: a list of addresses and prefixes separated
// by blanks, commas or semicolons ("127.0.0.0/8 ::1 192.168.1.0/24"), or "none".
#pragma once

#include <string_view>

namespace qv::smtp {

// Whether the dotted or colon address `peer` lies in one of `networks`. An entry that is no
// address or prefix matches nothing; "none" (or an empty list) matches nothing.
bool InRelayNetworks(std::string_view peer, std::string_view networks);

}  // namespace qv::smtp
