// The record text parser on arbitrary bytes, for every table and for member lines: parsing never
// writes outside the record, every text field stays zero-terminated inside its width, and a
// parsed record printed and parsed again gives the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"

namespace {

void Check(qv::Table table, std::string_view text) {
  const qv::TableDef& def = qv::GetTableDef(table);
  // Guard bytes on both sides catch a write outside the record.
  std::vector<char> block(def.record_size + 64, '\x5a');
  char* record = block.data() + 32;
  qv::ParseRecordLine(table, text, record);
  for (size_t i = 0; i < 32; ++i)
    if (block[i] != '\x5a' || block[32 + def.record_size + i] != '\x5a') abort();
  for (size_t f = 0; f < def.field_count; ++f) {
    const qv::FieldDef& field = def.fields[f];
    if (!field.number && std::memchr(record + field.offset, '\0', field.width) == nullptr) abort();
  }
  std::string line = qv::FormatRecordLine(table, record);
  std::vector<char> again(def.record_size);
  qv::ParseRecordLine(table, line, again.data());
  // Blanks at the start of a field are dropped on reading, so compare the printed forms.
  if (qv::FormatRecordLine(table, again.data()) != qv::FormatRecordLine(table, record)) {
    bool leading_blank = false;
    for (size_t f = 0; f < def.field_count; ++f)
      if (record[def.fields[f].offset] == ' ') leading_blank = true;
    if (!leading_blank) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (qv::Table t : {qv::Table::kUser, qv::Table::kLists, qv::Table::kCommands, qv::Table::kRoutes,
                      qv::Table::kResponder, qv::Table::kAccounts})
    Check(t, text);
  qv::MEMBERSTRUCT member;
  qv::ParseMemberLine(text, &member);
  if (std::memchr(member.Address, '\0', sizeof member.Address) == nullptr) abort();
  if (std::memchr(member.Name, '\0', sizeof member.Name) == nullptr) abort();
  return 0;
}
