#include "common/records.h"

#include <cstring>
#include <limits>

namespace qv {
namespace {

#define QV_TEXT(S, F) \
  { #F, offsetof(S, F), sizeof(S::F), false }
#define QV_NUMBER(S, F) \
  { #F, offsetof(S, F), sizeof(S::F), true }

const FieldDef kUserFields[] = {
    QV_TEXT(USERSTRUCT, Alias),        QV_TEXT(USERSTRUCT, Domain),
    QV_TEXT(USERSTRUCT, Password),     QV_TEXT(USERSTRUCT, Name),
    QV_TEXT(USERSTRUCT, Mailbox),      QV_TEXT(USERSTRUCT, PopAccount),
    QV_NUMBER(USERSTRUCT, Options),    QV_TEXT(USERSTRUCT, CopyIncoming),
    QV_TEXT(USERSTRUCT, CopyOutgoing), QV_TEXT(USERSTRUCT, Responder),
    QV_TEXT(USERSTRUCT, MailingList),
};

const FieldDef kListFields[] = {
    QV_TEXT(LISTSTRUCT, Name),        QV_TEXT(LISTSTRUCT, Domain),
    QV_TEXT(LISTSTRUCT, Description), QV_TEXT(LISTSTRUCT, FileName),
    QV_TEXT(LISTSTRUCT, OwnerUser),   QV_TEXT(LISTSTRUCT, OwnerDomain),
    QV_NUMBER(LISTSTRUCT, Options),   QV_TEXT(LISTSTRUCT, Responder),
    QV_TEXT(LISTSTRUCT, LogFile),
};

const FieldDef kExecFields[] = {
    QV_TEXT(EXECSTRUCT, Name),        QV_TEXT(EXECSTRUCT, Domain),
    QV_TEXT(EXECSTRUCT, Description), QV_TEXT(EXECSTRUCT, Application),
    QV_TEXT(EXECSTRUCT, Parameters),  QV_TEXT(EXECSTRUCT, Keywords),
    QV_NUMBER(EXECSTRUCT, Options),
};

const FieldDef kRouteFields[] = {
    QV_TEXT(ROUTESTRUCT, Masks),
    QV_NUMBER(ROUTESTRUCT, Type),
    QV_TEXT(ROUTESTRUCT, Destination),
};

const FieldDef kAutoFields[] = {
    QV_TEXT(AUTOSTRUCT, Name),    QV_TEXT(AUTOSTRUCT, TextFile),   QV_NUMBER(AUTOSTRUCT, Options),
    QV_TEXT(AUTOSTRUCT, LogFile), QV_TEXT(AUTOSTRUCT, Exceptions),
};

const FieldDef kAccountFields[] = {
    QV_TEXT(ACCOUNTSTRUCT, Name),       QV_TEXT(ACCOUNTSTRUCT, Server),
    QV_TEXT(ACCOUNTSTRUCT, Account),    QV_TEXT(ACCOUNTSTRUCT, Password),
    QV_NUMBER(ACCOUNTSTRUCT, Interval), QV_TEXT(ACCOUNTSTRUCT, DialProfile),
    QV_NUMBER(ACCOUNTSTRUCT, Options),
};

const FieldDef kMemberFields[] = {
    QV_TEXT(MEMBERSTRUCT, Address),
    QV_TEXT(MEMBERSTRUCT, Name),
};

#undef QV_TEXT
#undef QV_NUMBER

template <size_t N>
constexpr TableDef MakeDef(Table table, const char* name, size_t size, size_t key_offset,
                           size_t key_width, bool has_domain, const FieldDef (&fields)[N]) {
  return TableDef{table, name, size, key_offset, key_width, has_domain, fields, N};
}

const TableDef kTables[] = {
    MakeDef(Table::kUser, "user", sizeof(USERSTRUCT), 0, 128, true, kUserFields),
    MakeDef(Table::kLists, "lists", sizeof(LISTSTRUCT), 0, 128, true, kListFields),
    MakeDef(Table::kCommands, "commands", sizeof(EXECSTRUCT), 0, 128, true, kExecFields),
    MakeDef(Table::kRoutes, "routes", sizeof(ROUTESTRUCT), offsetof(ROUTESTRUCT, Destination), 128,
            false, kRouteFields),
    MakeDef(Table::kResponder, "responder", sizeof(AUTOSTRUCT), 0, 128, false, kAutoFields),
    MakeDef(Table::kAccounts, "accounts", sizeof(ACCOUNTSTRUCT), 0, 32, false, kAccountFields),
};

int32_t GetNumber(const char* record, const FieldDef& f) {
  int32_t n;
  std::memcpy(&n, record + f.offset, sizeof n);
  return n;
}

void AppendFields(std::string* out, const char* record, const FieldDef* fields, size_t count,
                  bool trailing_separator) {
  for (size_t i = 0; i < count; ++i) {
    const FieldDef& f = fields[i];
    if (f.number)
      out->append(std::to_string(GetNumber(record, f)));
    else
      out->append(FieldText(record + f.offset, f.width));
    if (trailing_separator || i + 1 < count) out->push_back('|');
  }
}

// Reads a decimal number the way the control protocol always has: optional sign, then digits
// up to the first other character; out-of-range values saturate.
int32_t ReadDecimal(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  constexpr int64_t kLimit = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kLimit) value = kLimit;
  }
  if (negative) return static_cast<int32_t>(-value);
  return static_cast<int32_t>(value > kLimit - 1 ? kLimit - 1 : value);
}

void ParseFields(std::string_view line, char* record, const FieldDef* fields, size_t count) {
  // The line ends at its first CR, LF or NUL.
  size_t end = line.find_first_of(std::string_view("\r\n\0", 3));
  if (end != std::string_view::npos) line = line.substr(0, end);
  size_t pos = 0;
  for (size_t i = 0; i < count; ++i) {
    if (pos > line.size() || (pos == line.size() && i > 0)) break;
    while (pos < line.size() && line[pos] == ' ') ++pos;
    size_t bar = line.find('|', pos);
    std::string_view value =
        line.substr(pos, bar == std::string_view::npos ? std::string_view::npos : bar - pos);
    const FieldDef& f = fields[i];
    if (f.number) {
      int32_t n = ReadDecimal(value);
      std::memcpy(record + f.offset, &n, sizeof n);
    } else {
      size_t n = value.size() < f.width ? value.size() : f.width - 1u;
      if (n > 0) std::memcpy(record + f.offset, value.data(), n);
      record[f.offset + n] = '\0';
    }
    if (bar == std::string_view::npos) break;
    pos = bar + 1;
  }
}

}  // namespace

const TableDef& GetTableDef(Table table) {
  return kTables[static_cast<int>(table)];
}

std::string_view FieldText(const char* field, size_t width) {
  return std::string_view(field, strnlen(field, width));
}

std::string FormatRecordLine(Table table, const void* record) {
  const TableDef& def = GetTableDef(table);
  std::string out;
  AppendFields(&out, static_cast<const char*>(record), def.fields, def.field_count, true);
  return out;
}

void ParseRecordLine(Table table, std::string_view line, void* record) {
  const TableDef& def = GetTableDef(table);
  std::memset(record, 0, def.record_size);
  ParseFields(line, static_cast<char*>(record), def.fields, def.field_count);
}

std::string FormatMemberLine(const MEMBERSTRUCT& member) {
  std::string out;
  AppendFields(&out, reinterpret_cast<const char*>(&member), kMemberFields,
               std::size(kMemberFields), false);
  return out;
}

void ParseMemberLine(std::string_view line, MEMBERSTRUCT* member) {
  std::memset(member, 0, sizeof *member);
  ParseFields(line, reinterpret_cast<char*>(member), kMemberFields, std::size(kMemberFields));
}

}  // namespace qv
