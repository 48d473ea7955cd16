// Recipients: what an address comes to on this host (a user's mailbox, a mailing list, a
// command, an operating-system account, or the forward queue), decided in one place for the
// SMTP session, delivery, mailing lists and fetched mail.
//
// A recipient is a typed value in memory. Its text form, "[U]name@domain!given" (a tag for the
// local kinds, then the delivery address, then "!" and the address as the sender gave it when it
// differs), is what log lines show; RecipientText and ParseRecipients are its only writer and
// reader.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/config.h"

namespace qv::mail {

enum class RecipientKind {
  kUser,     // a mailbox of the user table ("[U]")
  kList,     // a mailing list ("[L]")
  kCommand,  // a program run with the message ("[X]")
  kAccount,  // an operating-system account of NTDomain ("[N]")
  kForward,  // the forward queue (no tag)
};

struct Recipient {
  RecipientKind kind = RecipientKind::kForward;
  // The delivery address: the record's name and domain, or the address the queue sends to.
  std::string address;
  // The address as given, when it was kept apart from the delivery address ("" otherwise).
  std::string given;

  bool local() const { return kind != RecipientKind::kForward; }
  // The address the message is for: `given`, or the delivery address without one.
  const std::string& for_address() const { return given.empty() ? address : given; }
  bool operator==(const Recipient&) const = default;
};

// The text form: tag, delivery address, and "!" with the given address when there is one.
std::string RecipientText(const Recipient& recipient);

// Recipients in text form, separated by blanks.
std::string RecipientListText(const std::vector<Recipient>& recipients);

// Reads recipients in text form. `local`: a local list, whose entries are separated by blanks or
// ";", an untagged entry being a user and one with an unknown tag dropped; otherwise a forward
// list, separated by blanks, every entry going to the queue whatever its tag.
std::vector<Recipient> ParseRecipients(std::string_view text, bool local);

// The local kind of a result of ClassifyAddress; kForward for anything else (routes, foreign
// addresses).
RecipientKind KindOfAddress(int address_kind);

// Where mail for `target` (an address of a table: a route's destination, ForwardUnknown, a
// user's copy) goes, kept apart from `given`: a local user, list or command with `target` as
// written (the other domains searched when `search_other`), an account only when `accounts`,
// else the queue.
Recipient ResolveTarget(const SYSTEMSTRUCT& system, std::string_view target, std::string_view given,
                        bool search_other, bool accounts);

// A user's copy address (CopyIncoming, CopyOutgoing): a user of the user table as written,
// else the queue; kept apart from `given` when it is not empty.
Recipient ResolveCopy(const SYSTEMSTRUCT& system, std::string_view copy, std::string_view given);

// The recipient of mail made or passed on by the mail code (list members, list replies): a user
// of the user table (with the record's own Alias and Domain, or with `local_part` and `domain`
// as given when `as_given`), an operating-system account of NTDomain, else the queue
// ("local@domain", or `stored` when it is not empty).
Recipient ResolveMember(const SYSTEMSTRUCT& system, std::string_view local_part,
                        std::string_view domain, bool as_given = false,
                        std::string_view stored = {});

}  // namespace qv::mail
