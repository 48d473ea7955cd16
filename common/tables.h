// The directory built on the record store: the add rules of its records, classifying a local
// address, routes by address, importing users, mailbox directories that follow the user table,
// and list member files.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"

namespace qv {

// What the table utilities read of the control key: `Domain` and `ConfigPath` into `system`.
// False ("the service is not installed") when the key is missing or `ConfigPath` is missing,
// not a text or empty.
bool LoadTableSettings(SYSTEMSTRUCT& system);

// Results of ClassifyAddress.
constexpr int kAddressUser = 0;  // a user, or an unknown name of a local domain
constexpr int kAddressList = 1;
constexpr int kAddressCommand = 3;
constexpr int kAddressRoute = 5;
constexpr int kAddressAccount = 9;  // an operating-system account (accounts.h)
constexpr int kAddressForeign = -1;

// Tells what the address names: route, list, command, user (also an unknown name in a local
// domain), operating-system account or foreign address. With `search_other_domains` (the SMTP
// option SEARCHUNKNOWN) a name that nothing matched in a local domain is looked for in the other
// local domains in their order, and *domain becomes the domain where it was found. `full_name`
// (may be null) receives the account's full name for kAddressAccount.
int ClassifyAddress(const SYSTEMSTRUCT& system, std::string_view local_part, std::string* domain,
                    bool search_other_domains, std::string* full_name = nullptr);

// True when the domain equals one of the entries of `Domain` without regard to case (an entry
// is no prefix: "example.community" is not local for "example.com").
bool IsLocalDomain(const SYSTEMSTRUCT& system, std::string_view domain);

// The first route, in index order, one of whose Masks matches "<local>@<domain>". 0 found,
// 1 none, -1 the route files cannot be opened.
int FindRouteByAddress(const SYSTEMSTRUCT& system, std::string_view local_part,
                       std::string_view domain, ROUTESTRUCT* route);

// True for a folder the services keep under MailPath for themselves: the forward queue
// "forward" and the temporary folder "temp", compared without regard to case. No user's mailbox
// may be one: adding or changing a user (AddRecord and UpdateRecord, so also the import and
// qvuser) refuses it, and IsSafeMailboxName refuses it for delivery and POP3 logon.
bool IsServiceFolder(std::string_view name);

// True when a mailbox name may become a user's directory under MailPath: not empty, not "." or
// "..", no "/" (and no NUL), no service folder. Delivery, POP3 logon and directory creation
// refuse other names.
bool IsSafeMailboxName(std::string_view mailbox);

// ---- Adding and changing records (the add rules) --------------------------------------------

// Adds a record after the add rules (empty Domain -> the primary local domain, trailing blanks
// of key and Domain removed; users also trim Password and Name and an empty Mailbox takes the
// Alias; routes, responders and accounts refuse an empty first field with -1; a user whose mail
// is not routed away is refused with -1 when its Mailbox is a service folder; a list whose
// FileName names a file outside the configuration folder, MemberFilePath, is refused with -1).
// The record is changed in place by those rules. 0 added, 1 exists already (same key and
// matching domain; routes never), -1 refused or file error.
int AddRecord(const SYSTEMSTRUCT& system, Table table, void* record);

// Replaces (or, with `remove`, deletes from the index) the stored record whose key equals the
// given record's key and whose Domain mask matches the given record's Domain (an empty Domain
// matches any). A replacing user record is refused like AddRecord refuses its Mailbox, a
// replacing list like AddRecord refuses its FileName. 0 done,
// -1 refused, not found or file error.
int UpdateRecord(const SYSTEMSTRUCT& system, Table table, const void* record, bool remove);

// Typed forms: the table follows from the record type.
template <class R>
int AddRecord(const SYSTEMSTRUCT& system, R* record) {
  return AddRecord(system, RecordTraits<R>::kTable, record);
}
template <class R>
int UpdateRecord(const SYSTEMSTRUCT& system, const R& record, bool remove) {
  return UpdateRecord(system, RecordTraits<R>::kTable, &record, remove);
}

// Imports users from a text file, one per line (see docs/import-file.md). With `progress`,
// prints a "." per line, a line feed after every 50 and two line feeds at the end. Returns the
// number of lines not added, or -1 when the file cannot be read.
int ImportUsers(const SYSTEMSTRUCT& system, const std::string& file_name,
                std::FILE* progress = stdout);

// One import line: fields Alias, Domain, Name, Password, Mailbox, CopyIncoming, CopyOutgoing,
// Responder, MailingList separated by ";" or ","; options derived from them. The record is
// cleared first. True when the line has both Alias and Domain.
bool ParseImportLine(std::string_view line, USERSTRUCT* user);

// Feeds the import lines of a file's bytes to `line` the way ImportUsers reads them: chunks of
// 2048 bytes, each cut after its last line feed (so a last line without a line feed is never
// read); leading CR, LF and blanks of a line are skipped. A line longer than a chunk is passed,
// once its line feed is reached, as an empty line (one that cannot be parsed). `read` fills the
// buffer from a position and returns the count (0 at the end, <0 on error). Returns false on a read
// error.
template <class Read, class Line>
bool ForEachImportLine(Read&& read, Line&& line);

// Removes the empty subdirectories of MailPath that are neither a service folder nor the mailbox
// of a user whose mail is kept here, then creates the mailbox directory of every such user, in
// index order. Nothing outside MailPath is touched, and a MailPath that is (or resolves to) the
// root or a system folder is left alone. 0, or -1 when the user index cannot be opened or the
// folder is refused.
int SyncMailboxDirectories(const SYSTEMSTRUCT& system);

// ---- List member files (256-byte MEMBERSTRUCT records, no index) ---------------------------

// True when the address names a mailing list of this host (the tables of `system`), directly or
// through a route to a mail address or domain: a copy sent there would come back and be
// distributed again, so such an address is never a list member.
bool IsListAddress(const SYSTEMSTRUCT& system, std::string_view address);

// Result of AddMember and UpdateMember: the address names a mailing list (IsListAddress).
constexpr int kMemberIsList = 2;

// 0 added, 1 the address is there already (compared without regard to case), kMemberIsList
// refused, -1 file error or a member file outside the configuration folder (MemberFilePath;
// the same for UpdateMember).
int AddMember(const SYSTEMSTRUCT& system, const std::string& member_file, std::string_view address,
              std::string_view name);

// Finds the list by its address and adds to its member file: -1 the list is unknown,
// kMemberIsList refused, else 0.
int AddListMember(const SYSTEMSTRUCT& system, std::string_view list_address,
                  std::string_view address, std::string_view name);

// Changes (or with `remove` deletes) the first member whose address matches `address` as a mask
// (either side may hold "*"). 0 done, kMemberIsList the new address is refused, -1 no such
// member or file error.
int UpdateMember(const SYSTEMSTRUCT& system, const std::string& member_file,
                 std::string_view address, std::string_view new_address, std::string_view new_name,
                 bool remove);

// The same through the list's address: -1 the list is unknown, kMemberIsList refused, else 0.
int UpdateListMember(const SYSTEMSTRUCT& system, std::string_view list_address,
                     std::string_view address, std::string_view new_address,
                     std::string_view new_name, bool remove);

// Drops the empty records of a member file.
int CompactMemberFile(const std::string& member_file);

// "250-%s <%s>\r\n" (name, address) per member in file order; empty without a member file. A CR
// or LF in a stored name or address is given as a blank, so that every member stays one line.
// A member file outside the configuration folder (MemberFilePath) counts as none.
std::string ExpandMembers(const SYSTEMSTRUCT& system, const LISTSTRUCT& list);

// ---- Template definition -------------------------------------------------------------------

constexpr size_t kImportChunk = 2048;

template <class Read, class Line>
bool ForEachImportLine(Read&& read, Line&& line) {
  char buffer[kImportChunk];
  long long position = 0;
  bool skipping_long_line = false;
  for (;;) {
    long long got = read(buffer, sizeof buffer, position);
    if (got < 0) return false;
    if (got == 0) return true;
    std::string_view chunk(buffer, static_cast<size_t>(got));
    size_t last_lf = chunk.rfind('\n');
    if (last_lf == std::string_view::npos) {
      if (got < static_cast<long long>(sizeof buffer)) return true;  // a last line without LF
      // A line longer than a chunk: skipped to its line feed, then reported as unreadable.
      skipping_long_line = true;
      position += got;
      continue;
    }
    size_t pos = 0;
    if (skipping_long_line) {
      line(std::string_view());
      pos = chunk.find('\n') + 1;
      skipping_long_line = false;
    }
    while (pos <= last_lf) {
      while (pos <= last_lf && (chunk[pos] == '\r' || chunk[pos] == '\n' || chunk[pos] == ' '))
        ++pos;
      if (pos > last_lf) break;
      size_t end = chunk.find('\n', pos);
      line(chunk.substr(pos, end - pos));
      pos = end + 1;
    }
    position += static_cast<long long>(last_lf) + 1;
  }
}

}  // namespace qv
