// Record administration over the control connection: the six human commands with comma-separated
// arguments and readable replies, and the stream commands that move whole records as "|" lines.
// Every command works on the table files at once through the record store; nothing is cached.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/result.h"

namespace qv::control {

// The human commands. `line` is the whole command line without its line end, beginning with
// the command word; the reply ends with the prompt. Texts longer than the field they go into,
// and texts holding "|" (which would break the records' "|" form), are refused with the
// command's failure reply. The tables are those in the ConfigPath of `system`.
std::string UserCommand(const SYSTEMSTRUCT& system, std::string_view line);
std::string ListCommand(const SYSTEMSTRUCT& system, std::string_view line);
std::string AutoCommand(const SYSTEMSTRUCT& system, std::string_view line);
std::string ExecCommand(const SYSTEMSTRUCT& system, std::string_view line);
std::string RouteCommand(const SYSTEMSTRUCT& system, std::string_view line);
std::string PopaCommand(const SYSTEMSTRUCT& system, std::string_view line);

// What GETSTREAM reads besides the tables.
struct StreamSources {
  std::string log_path;  // for LOGS
  // The names of the dial-up phone-book entries (RASENTRY); none when unset.
  std::function<std::vector<std::string>()> phone_book;
};

// GETSTREAM: `line` is the whole command line without its line end. The reply has no line end
// and no prompt; an unknown word or a key not found gives an empty reply.
std::string GetStream(const SYSTEMSTRUCT& system, std::string_view line,
                      const StreamSources& sources);

// PUTSTREAM of the six tables: `word` names the table and `fields` holds the operation and the
// record's fields. The outcome is not reported. Returns true when `word` named a table.
bool PutStreamRecord(const SYSTEMSTRUCT& system, std::string_view word, std::string_view fields);

// A record of one of the six tables; the alternatives follow the order of Table.
using TableRecord =
    std::variant<USERSTRUCT, LISTSTRUCT, EXECSTRUCT, ROUTESTRUCT, AUTOSTRUCT, ACCOUNTSTRUCT>;

// A record of `table` with every field empty or 0.
TableRecord EmptyRecord(Table table);

// The "#n" reading of GETSTREAM: the record of the n-th index entry (index order, as the tables
// are listed elsewhere). Empty past the end (or when the table files are missing); an error when
// the entry points at nothing readable.
Result<std::optional<TableRecord>> ReadRecordAtIndex(const SYSTEMSTRUCT& system, Table table,
                                                     int64_t n);

// The n-th record of a member file; an error past the end, when there is no such file and when
// it lies outside the configuration folder (MemberFilePath).
Result<MEMBERSTRUCT> ReadMemberAt(const SYSTEMSTRUCT& system, const std::string& member_file,
                                  int64_t n);

// The record number of "#n": empty for anything but "#" and decimal digits that fit 63 bits.
std::optional<int64_t> ParseRecordNumber(std::string_view text);

// The groups of the machine's account database as "name  (comment)|" each.
std::string ListGroups();

// The transaction logs in `log_path`: SMTP logs, then POP3 logs, each name followed by "|".
std::string ListLogs(const std::string& log_path);

}  // namespace qv::control
