// Small helpers of the SMTP session. The text helpers are those of common/strings.h, the
// primary domain that of common/recordstore.h, and the record helpers those of the mail library.
#pragma once

#include <string_view>

#include "common/recordstore.h"
#include "common/strings.h"
#include "mail/mail_util.h"

namespace qv::smtp {

using mail::FindUserByAddress;
using mail::SplitAddressList;
using mail::Str;

// Writes all of the text at the end of the file. False on a write error.
bool WriteSpool(int fd, std::string_view text);

}  // namespace qv::smtp
