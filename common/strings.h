// Text helpers shared by every module: those of the platform layer (ASCII comparison without
// regard to case, trimming) and printf-style formatting into a string.
#pragma once

#include <string>

#include "platform/text.h"

namespace qv {

// printf-style formatting into a string of any length.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qv
