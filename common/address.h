// Address, header and mask parsing shared by every mail program.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

// Splits a mail address out of a text into local part and domain. Returns 1 when an address
// with "@" was found, else 0 (the local part may still be set).
int SplitAddress(std::string_view text, std::string* local, std::string* domain);

// The bare address of an SMTP argument ("<a@b>" gives "a@b"). Returns the position just after
// the first ";" of the text, or 0 when there is none or the text is empty.
size_t ExtractAddress(std::string_view text, std::string* address);

// True with the value when the header line's field name equals `field` (without the colon,
// compared without regard to case).
bool GetHeaderValue(std::string_view line, std::string_view field, std::string* value);

// 0 when the text matches the mask ("*" wildcards), compared without regard to case.
int MatchMask(std::string_view mask, std::string_view text);

// 1 when the text matches one of the ";"-separated masks of the list, else 0.
int MatchMaskList(std::string_view text, std::string_view list);

}  // namespace qv
