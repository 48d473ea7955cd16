#include "console/store/console_store.h"

namespace qv::console {

std::string TableRecord::Key() const {
  const TableDef& def = GetTableDef(table_);
  return std::string(FieldText(bytes_.data() + def.key_offset, def.key_width));
}

std::string TableRecord::NodeText() const {
  if (table_ == Table::kUser || table_ == Table::kLists || table_ == Table::kCommands) {
    return Key() + "@" + std::string(FieldText(bytes_.data() + kDomainOffset, kDomainWidth));
  }
  return Key();
}

}  // namespace qv::console
