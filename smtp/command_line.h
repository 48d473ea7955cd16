// The parts of an SMTP command line: its arguments, the keyword argument of MAIL and RCPT, and
// the ESMTP parameters of MAIL.
#pragma once

#include <cstdint>
#include <string_view>

namespace qv::smtp {

// The text after the command word and the one character that follows it.
std::string_view CommandArguments(std::string_view line);

// The keyword test of MAIL and RCPT: after the command word, blanks and tabs, a word up to ":"
// or a blank, blanks, a ":"; the word must equal `keyword`. *argument is what follows the colon
// and its blanks.
bool KeywordArgument(std::string_view line, std::string_view keyword, std::string_view* argument);

// Cuts the SIZE and 8BITMIME parameters off a MAIL argument; *declared gets the SIZE value.
std::string_view CutMailParameters(std::string_view argument, uint64_t* declared);

}  // namespace qv::smtp
