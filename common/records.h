// The records of the six directory tables and of list member files, as they lie on disk: packed,
// texts zero-terminated inside their fixed widths, integers 32-bit little-endian. Also the
// descriptions the record store needs (record size, key field, domain field) and the one-line
// "|" text form in which the control service shows and takes records.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

static_assert(std::endian::native == std::endian::little,
              "records are stored as they lie in memory, little-endian");

#pragma pack(push, 1)

// A mailbox user or alias.
struct USERSTRUCT {
  char Alias[128];
  char Domain[128];
  char Password[81];
  char Name[128];
  char Mailbox[128];
  char PopAccount[128];
  int32_t Options;
  char CopyIncoming[128];
  char CopyOutgoing[128];
  char Responder[260];
  char MailingList[260];
};

// A mailing list.
struct LISTSTRUCT {
  char Name[128];
  char Domain[128];
  char Description[128];
  char FileName[260];
  char OwnerUser[128];
  char OwnerDomain[128];
  int32_t Options;
  char Responder[128];
  char LogFile[128];
};

// A command: an address whose mail starts a program.
struct EXECSTRUCT {
  char Name[128];
  char Domain[128];
  char Description[128];
  char Application[260];
  char Parameters[260];
  char Keywords[512];
  int32_t Options;
};

// A static route.
struct ROUTESTRUCT {
  char Masks[512];
  int32_t Type;
  char Destination[128];
};

// An auto responder.
struct AUTOSTRUCT {
  char Name[128];
  char TextFile[260];
  int32_t Options;
  char LogFile[260];
  char Exceptions[512];
};

// A remote POP account.
struct ACCOUNTSTRUCT {
  char Name[32];
  char Server[128];
  char Account[128];
  char Password[128];
  int32_t Interval;
  char DialProfile[128];
  int32_t Options;
};

// One member of a mailing list; a record whose first byte is zero is empty.
struct MEMBERSTRUCT {
  char Address[128];
  char Name[128];
};

#pragma pack(pop)

static_assert(sizeof(USERSTRUCT) == 1501);
static_assert(offsetof(USERSTRUCT, Alias) == 0);
static_assert(offsetof(USERSTRUCT, Domain) == 128);
static_assert(offsetof(USERSTRUCT, Password) == 256);
static_assert(offsetof(USERSTRUCT, Name) == 337);
static_assert(offsetof(USERSTRUCT, Mailbox) == 465);
static_assert(offsetof(USERSTRUCT, PopAccount) == 593);
static_assert(offsetof(USERSTRUCT, Options) == 721);
static_assert(offsetof(USERSTRUCT, CopyIncoming) == 725);
static_assert(offsetof(USERSTRUCT, CopyOutgoing) == 853);
static_assert(offsetof(USERSTRUCT, Responder) == 981);
static_assert(offsetof(USERSTRUCT, MailingList) == 1241);

static_assert(sizeof(LISTSTRUCT) == 1160);
static_assert(offsetof(LISTSTRUCT, Name) == 0);
static_assert(offsetof(LISTSTRUCT, Domain) == 128);
static_assert(offsetof(LISTSTRUCT, Description) == 256);
static_assert(offsetof(LISTSTRUCT, FileName) == 384);
static_assert(offsetof(LISTSTRUCT, OwnerUser) == 644);
static_assert(offsetof(LISTSTRUCT, OwnerDomain) == 772);
static_assert(offsetof(LISTSTRUCT, Options) == 900);
static_assert(offsetof(LISTSTRUCT, Responder) == 904);
static_assert(offsetof(LISTSTRUCT, LogFile) == 1032);

static_assert(sizeof(EXECSTRUCT) == 1420);
static_assert(offsetof(EXECSTRUCT, Name) == 0);
static_assert(offsetof(EXECSTRUCT, Domain) == 128);
static_assert(offsetof(EXECSTRUCT, Description) == 256);
static_assert(offsetof(EXECSTRUCT, Application) == 384);
static_assert(offsetof(EXECSTRUCT, Parameters) == 644);
static_assert(offsetof(EXECSTRUCT, Keywords) == 904);
static_assert(offsetof(EXECSTRUCT, Options) == 1416);

static_assert(sizeof(ROUTESTRUCT) == 644);
static_assert(offsetof(ROUTESTRUCT, Masks) == 0);
static_assert(offsetof(ROUTESTRUCT, Type) == 512);
static_assert(offsetof(ROUTESTRUCT, Destination) == 516);

static_assert(sizeof(AUTOSTRUCT) == 1164);
static_assert(offsetof(AUTOSTRUCT, Name) == 0);
static_assert(offsetof(AUTOSTRUCT, TextFile) == 128);
static_assert(offsetof(AUTOSTRUCT, Options) == 388);
static_assert(offsetof(AUTOSTRUCT, LogFile) == 392);
static_assert(offsetof(AUTOSTRUCT, Exceptions) == 652);

static_assert(sizeof(ACCOUNTSTRUCT) == 552);
static_assert(offsetof(ACCOUNTSTRUCT, Name) == 0);
static_assert(offsetof(ACCOUNTSTRUCT, Server) == 32);
static_assert(offsetof(ACCOUNTSTRUCT, Account) == 160);
static_assert(offsetof(ACCOUNTSTRUCT, Password) == 288);
static_assert(offsetof(ACCOUNTSTRUCT, Interval) == 416);
static_assert(offsetof(ACCOUNTSTRUCT, DialProfile) == 420);
static_assert(offsetof(ACCOUNTSTRUCT, Options) == 548);

static_assert(sizeof(MEMBERSTRUCT) == 256);
static_assert(offsetof(MEMBERSTRUCT, Name) == 128);

// User option bits.
constexpr int32_t kUserRemote = 0x01;       // mail goes to the address in Mailbox
constexpr int32_t kUserPopLookup = 0x02;    // fetched from the POP account PopAccount
constexpr int32_t kUserAdmin = 0x04;        // administrator
constexpr int32_t kUserListManager = 0x08;  // may manage mailing lists by mail
constexpr int32_t kUserRespond = 0x10;      // answered by Responder
constexpr int32_t kUserJoinList = 0x20;     // senders are added to MailingList

// List option bits.
constexpr int32_t kListPublic = 0x01;
constexpr int32_t kListAutoJoin = 0x02;
constexpr int32_t kListOwnerSends = 0x04;
constexpr int32_t kListCopyOwner = 0x08;
constexpr int32_t kListHidden = 0x10;
constexpr int32_t kListRespond = 0x20;
constexpr int32_t kListLog = 0x40;

// Command option bit: apply the keyword definitions.
constexpr int32_t kExecKeywords = 0x01;

// Route types.
constexpr int32_t kRouteToMail = 0;
constexpr int32_t kRouteToHost = 1;
constexpr int32_t kRouteToDomain = 2;

// Responder option bit: log each response.
constexpr int32_t kAutoLog = 0x01;

// Account option bits.
constexpr int32_t kAccountShared = 0x01;
constexpr int32_t kAccountDialup = 0x02;
constexpr int32_t kAccountUserLogin = 0x04;

// The six tables.
enum class Table { kUser, kLists, kCommands, kRoutes, kResponder, kAccounts };

// One field of a record as its text form lists it.
struct FieldDef {
  const char* name;
  uint16_t offset;
  uint16_t width;
  bool number;  // a 32-bit integer, else a zero-terminated text of `width` bytes
};

// What the record store needs to know of a table.
struct TableDef {
  Table table;
  const char* name;  // base name of its files: "user" gives user.dat and user.idx
  size_t record_size;
  size_t key_offset;  // the key field, a text
  size_t key_width;
  bool has_domain;         // the record's Domain field (offset 128, width 128) is a mask
  const FieldDef* fields;  // in text-form order
  size_t field_count;
};

constexpr size_t kDomainOffset = 128;
constexpr size_t kDomainWidth = 128;

const TableDef& GetTableDef(Table table);

// The table of a record type, for the typed operations.
template <class R>
struct RecordTraits;
template <>
struct RecordTraits<USERSTRUCT> {
  static constexpr Table kTable = Table::kUser;
};
template <>
struct RecordTraits<LISTSTRUCT> {
  static constexpr Table kTable = Table::kLists;
};
template <>
struct RecordTraits<EXECSTRUCT> {
  static constexpr Table kTable = Table::kCommands;
};
template <>
struct RecordTraits<ROUTESTRUCT> {
  static constexpr Table kTable = Table::kRoutes;
};
template <>
struct RecordTraits<AUTOSTRUCT> {
  static constexpr Table kTable = Table::kResponder;
};
template <>
struct RecordTraits<ACCOUNTSTRUCT> {
  static constexpr Table kTable = Table::kAccounts;
};

// A text field of a record read safely: up to its first zero, never past its width.
std::string_view FieldText(const char* field, size_t width);
template <size_t N>
std::string_view FieldText(const char (&field)[N]) {
  return FieldText(field, N);
}

// The text form: every field followed by "|", numbers in decimal.
std::string FormatRecordLine(Table table, const void* record);
template <class R>
std::string FormatRecordLine(const R& record) {
  return FormatRecordLine(RecordTraits<R>::kTable, &record);
}

// Fills a record from its text form. The record is cleared first. Trailing CR and LF are
// dropped; fields end at "|"; blanks at the start of a field are skipped; the line ends at its
// end, a CR or an LF; a text longer than its field is cut to the width less one; numbers are
// read as decimal (saturated to 32 bits). Fields beyond the last are ignored, missing ones stay
// empty or 0.
void ParseRecordLine(Table table, std::string_view line, void* record);
template <class R>
void ParseRecordLine(std::string_view line, R* record) {
  ParseRecordLine(RecordTraits<R>::kTable, line, record);
}

// The member text form "%s|%s" (address, name; no trailing separator), and its reading by the
// same field rules.
std::string FormatMemberLine(const MEMBERSTRUCT& member);
void ParseMemberLine(std::string_view line, MEMBERSTRUCT* member);

}  // namespace qv
