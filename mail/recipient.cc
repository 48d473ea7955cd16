#include "mail/recipient.h"

#include "common/accounts.h"
#include "common/address.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "mail/mail_util.h"

namespace qv::mail {
namespace {

struct Tag {
  RecipientKind kind;
  const char* text;
};

constexpr Tag kTags[] = {
    {RecipientKind::kUser, "[U]"},
    {RecipientKind::kList, "[L]"},
    {RecipientKind::kCommand, "[X]"},
    {RecipientKind::kAccount, "[N]"},
};

}  // namespace

std::string RecipientText(const Recipient& recipient) {
  std::string text;
  for (const Tag& tag : kTags)
    if (tag.kind == recipient.kind) text = tag.text;
  text += recipient.address;
  if (!recipient.given.empty()) text += "!" + recipient.given;
  return text;
}

std::string RecipientListText(const std::vector<Recipient>& recipients) {
  std::string text;
  for (const Recipient& recipient : recipients) {
    if (!text.empty()) text += ' ';
    text += RecipientText(recipient);
  }
  return text;
}

std::vector<Recipient> ParseRecipients(std::string_view text, bool local) {
  std::vector<Recipient> recipients;
  const char* separators = local ? " ;" : " ";
  size_t pos = 0;
  while (pos < text.size()) {
    pos = text.find_first_not_of(separators, pos);
    if (pos == std::string_view::npos) break;
    size_t end = text.find_first_of(separators, pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view entry = text.substr(pos, end - pos);
    pos = end;

    Recipient recipient;
    recipient.kind = local ? RecipientKind::kUser : RecipientKind::kForward;
    if (entry[0] == '[') {
      std::string_view tag = entry.substr(0, 3);
      entry.remove_prefix(tag.size());
      if (local) {
        bool known = false;
        for (const Tag& t : kTags) {
          if (EqualsNoCase(tag, t.text)) {
            recipient.kind = t.kind;
            known = true;
          }
        }
        if (!known) continue;
      }
    }
    size_t bang = entry.find('!');
    recipient.address = std::string(entry.substr(0, bang));
    if (bang != std::string_view::npos) recipient.given = std::string(entry.substr(bang + 1));
    recipients.push_back(std::move(recipient));
  }
  return recipients;
}

RecipientKind KindOfAddress(int address_kind) {
  switch (address_kind) {
    case kAddressUser:
      return RecipientKind::kUser;
    case kAddressList:
      return RecipientKind::kList;
    case kAddressCommand:
      return RecipientKind::kCommand;
    case kAddressAccount:
      return RecipientKind::kAccount;
    default:
      return RecipientKind::kForward;
  }
}

Recipient ResolveTarget(const SYSTEMSTRUCT& system, std::string_view target, std::string_view given,
                        bool search_other, bool accounts) {
  std::string local, domain;
  SplitAddress(target, &local, &domain);
  RecipientKind kind = KindOfAddress(ClassifyAddress(system, local, &domain, search_other));
  if (kind == RecipientKind::kAccount && !accounts) kind = RecipientKind::kForward;
  return Recipient{kind, std::string(target), std::string(given)};
}

Recipient ResolveCopy(const SYSTEMSTRUCT& system, std::string_view copy, std::string_view given) {
  USERSTRUCT user{};
  RecipientKind kind =
      FindUserByAddress(system, copy, &user) ? RecipientKind::kUser : RecipientKind::kForward;
  return Recipient{kind, std::string(copy), std::string(given)};
}

Recipient ResolveMember(const SYSTEMSTRUCT& system, std::string_view local_part,
                        std::string_view domain, bool as_given, std::string_view stored) {
  std::string given = std::string(local_part) + "@" + std::string(domain);
  USERSTRUCT user;
  if (!local_part.empty() && FindRecord(system, local_part, domain, &user) == 0)
    return Recipient{RecipientKind::kUser,
                     as_given ? given : Str(user.Alias) + "@" + Str(user.Domain), ""};
  std::string full_name;
  if ((system.Flags & kSysNtUser) != 0 && !local_part.empty() &&
      EqualsNoCase(domain, FieldText(system.NTDomain)) &&
      NtAccountLookup(system.NTUser, local_part, &full_name))
    return Recipient{RecipientKind::kAccount, given, ""};
  return Recipient{RecipientKind::kForward, stored.empty() ? given : std::string(stored), ""};
}

}  // namespace qv::mail
