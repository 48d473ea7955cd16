// Placeholder until the parsers land; see address.h.
#include "common/address.h"
