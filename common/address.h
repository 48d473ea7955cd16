// Address, header and mask parsing shared by every mail program.
//
// Each text is read as a zero-terminated text: a NUL byte inside a view ends it. Out pointers
// may be null. ASCII letters compare without regard to case wherever names are compared.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

// Splits a mail address out of a text into local part and domain. Returns 1 when an address
// with "@" was found, else 0 (the local part may still be set).
//
// Leading blanks and trailing CR, LF and blanks are ignored. With "@" (the first one), the
// local part starts after the last "<", blank or double quote before it and runs to the "@";
// the domain runs from after the "@" to the first ">", blank, double quote, CR, LF, ";" or the
// end. Without "@", *local is the trimmed text, *domain is empty and the result is 0.
//   "\"Ann\" <ann@example.com>"  -> 1, "ann", "example.com"
int SplitAddress(std::string_view text, std::string* local, std::string* domain);

// The bare address of an SMTP argument ("<a@b>" gives "a@b"). Returns the position just after
// the first ";" of the text, or 0 when there is none or the text is empty.
//
// With "@": from after the last "<", blank or double quote before it to the first ">", blank,
// double quote, CR, LF or the end. Without "@": leading "<" are skipped and the rest is taken
// up to CR, LF, ">" or double quote ("<>" gives the empty address).
size_t ExtractAddress(std::string_view text, std::string* address);

// True with the value when the header line's field name equals `field` (without the colon; a
// trailing colon in `field` is ignored), compared without regard to case. The name is the text
// before the first colon, blank or tab after leading blanks and tabs; blanks and tabs may stand
// between name and colon. The value starts after the colon and any blanks and tabs and runs to
// the first CR, LF or the end. A line without a colon after the name gives false.
bool GetHeaderValue(std::string_view line, std::string_view field, std::string* value);

// 0 when the text matches the mask ("*" wildcards), compared without regard to case; 1 when not.
//
// When the mask holds no "*" but the text does, the two swap roles. The pieces between stars
// are compared in turn at the current position of the other string, which moves on by each
// piece's length (a piece is never searched for); the piece after the last star is compared
// with the end of the other string, and an empty last piece matches anything. So "*.example.com"
// and "post*" and "a*z" work as expected, while in "a*b*z" the first star matches only an empty
// run. Without any star the two are compared whole.
int MatchMask(std::string_view mask, std::string_view text);

// 1 when the text matches one of the ";"-separated masks of the list, else 0. Empty items are
// skipped; an item longer than 255 characters is cut to 255. Items are not trimmed.
int MatchMaskList(std::string_view text, std::string_view list);

}  // namespace qv
