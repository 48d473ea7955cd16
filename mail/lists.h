// Mailing lists run by mail: distribution of a message to the members of a list, and the list
// commands (join, leave, review, help, which, lists) that people send to a local user with the
// list-manager option. Both mail services run this code; each passes itself as a MailService, so
// that deliveries follow its rules and log lines go to its own transaction log. The deliveries
// made here carry on the caller's DeliveryPolicy (its chain of deliveries and whether a reply of
// this code is being delivered).
//
// Messages handed to delivery are plain files in the stored form of received mail
// (stored_form.h): texts composed here are written in that form.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"
#include "mail/delivery.h"
#include "mail/mail_service.h"
#include "mail/recipient.h"
#include "mail/stored_form.h"

namespace qv::lists {

// The service that runs the list and responder code (mail_service.h).
using mail::MailService;
// How the deliveries made here run (delivery.h).
using mail::DeliveryPolicy;
// Texts composed here are brought into the stored form by this encoder (stored_form.h).
using mail::StoredFormEncoder;

// The list commands, in the order in which their keywords are searched for.
enum class ListCommand { kNone, kJoin, kLeave, kReview, kLists, kWhich, kHelp };

struct ParsedCommand {
  ListCommand command = ListCommand::kNone;
  std::string list_address;  // empty when not given
  std::string member;        // empty when not given (the sender then)
  std::string name;          // display name, empty when not given
};

// Reads one command line: the first keyword found anywhere in it (ignoring case) decides, and
// the text after the word that holds it gives "list address, member address, display name",
// each cut to 127 characters.
ParsedCommand ParseCommandLine(std::string_view line);

// The command lines of a message: its first 2048 bytes, cut at an end line CR LF "." CR LF,
// read from the body (after the first empty line; from the start when there is none), split
// at CR with CR and LF skipped before each line.
std::vector<std::string> CommandLines(std::string_view head);

// Carries out the commands of the message in `spool_fd` from `sender`, replying under the
// `manager` address. Nothing is done for an empty sender, a sender equal to the manager
// address, or a sender that is itself a user with the list-manager option. The replies are
// delivered with `policy` marked as replying: delivery does not read them for commands when
// they reach a list manager.
void ProcessListCommands(const MailService& service, std::string_view sender,
                         std::string_view manager, int spool_fd, const DeliveryPolicy& policy = {});

// Sends the message to every member of the list, with the list owner as envelope sender when
// the list has one, and to the owner too when the list asks for it. Returns 0.
int DistributeToList(const MailService& service, const LISTSTRUCT& list, std::string_view sender,
                     int spool_fd, bool top_level, const DeliveryPolicy& policy = {});

// Adds `member` to the list (automatic join), or asks the list owner (join by request).
void JoinList(const MailService& service, std::string_view member, std::string_view list_address,
              std::string_view name, const DeliveryPolicy& policy = {});

// Removes every record of `member` from the list and sends the member the removal notice.
void LeaveList(const MailService& service, std::string_view member, std::string_view manager,
               std::string_view list_address, const DeliveryPolicy& policy = {});

// Mails the members of the list to `requester`.
void ReviewList(const MailService& service, std::string_view list_address,
                std::string_view requester, std::string_view manager,
                const DeliveryPolicy& policy = {});

// Mails the help file to `requester`.
void SendListHelp(const MailService& service, std::string_view requester, std::string_view manager,
                  const DeliveryPolicy& policy = {});

// Mails the lists that `requester` belongs to (`joined_only`) or the public lists.
void SendListsOverview(const MailService& service, std::string_view requester,
                       std::string_view manager, bool joined_only,
                       const DeliveryPolicy& policy = {});

}  // namespace qv::lists
