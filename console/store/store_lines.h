// What the local and remote stores share: the checks a record must pass before it is stored, the
// request lines of the record changes, and the readings of the "|" name lists and the STATE
// reply of the control service. The readings take any bytes a peer may send (see the fuzz
// target); the checks keep texts out of the tables that the "|" text form could not carry.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "console/store/console_store.h"

namespace qv::console {

// The stream word of a table: "USER", "LIST", "EXEC", "ROUTE", "AUTO", "ACCOUNT".
const char* StreamWord(Table table);

// How a record travels to its table: written into the table file here, or sent as one line to
// the control service.
enum class RecordPath { kFile, kLine };

// A record may be stored when its key is not empty and none of its texts holds "|", CR or LF:
// such a text would split the record's line for the control service and for every reader of
// the text form. A command's keyword definitions are several lines by nature (the installed
// password-change command has them), so they may hold CR and LF when written to the file.
Status CheckRecord(const TableRecord& record, RecordPath path);
// The same for a member's address and name.
Status CheckMember(const MEMBERSTRUCT& member);

// The fields of the record's text form joined by "|" without a trailing one; with `key_only`
// only the fields up to the key (and the Domain of the tables that have one), as a DELETE
// line carries them.
std::string RecordFields(const TableRecord& record, bool key_only);

// The record's address "%s@%s" (users, lists, commands) or key, as GETSTREAM looks it up.
std::string LookupKey(const TableRecord& record);

// A new list without a member file gets "<config_path>/<name>.mls". False when that name does
// not fit the FileName field (the list is then left alone).
bool GiveDefaultMemberFile(const std::string& config_path, LISTSTRUCT* list);

// The names of a "|"-separated list (each name followed by "|"); empty names are skipped.
std::vector<std::string> SplitNames(std::string_view reply);

// The log names of a "|"-separated list sorted into the SMTP logs ("s...") and the POP3 logs
// ("p..."), in the order given; other names are dropped.
LogFiles SplitLogNames(std::string_view reply);

// The reply of STATE: after "QuorvaneSmtp:" and "QuorvanePop3:" and the blanks that follow,
// "Running" is started, "Stopped" not started, "Paused" paused; anything else (or a missing
// line) unknown.
ServiceStates ParseStateReply(std::string_view reply);

// The server's host name, address and primary domain from its settings; the version texts
// "<unknown>".
AboutFacts ServerFacts(const Settings& settings);

// A ServiceCommand query result as a state: 4 started, 1 not started, 7 paused; the pending
// states as what they lead from; a failure (below 0) or an unknown value not installed.
ServiceState StateFromQuery(int result);

}  // namespace qv::console
