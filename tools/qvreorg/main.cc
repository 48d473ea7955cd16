// qvreorg: reorganises the record files of the directory tables: compacts each chosen table
// (dropping deleted records) or, with "-r", rebuilds each chosen table's index from its data.

#include <cstdio>
#include <cstring>

#include "common/config.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "common/tool_frame.h"

namespace {

constexpr char kUsage[] =
    "Usage:   %s <modes> [-r]\n\n"
    "Modes:   U    Users\n"
    "         L    Mailing lists\n"
    "         R    Auto responders\n"
    "         X    Executables\n"
    "         P    Remote POP accounts\n"
    "         S    Static routes\n"
    "         A    All databases\n\n"
    "Switch:  -r   Rebuild the index files\n\n"
    "Use one or more modes, to reorganize special databases or use\n"
    "the A mode to reorganize all.\n";

constexpr char kUnknownMode[] = "Error: Unknown mode '%c'\n";
constexpr char kInvalidSwitch[] = "Error: Invalid switch '%s'\n";

constexpr qv::tool::Utility kUtility = {"qvreorg", "Database Reorganisation Utility", kUsage};

using qv::tool::kExitOk;
constexpr int kExitMode = 3;
constexpr int kExitSwitch = 4;

// The tables in the order they are reorganised, with their mode letters.
struct Mode {
  char letter;
  qv::Table table;
};
constexpr Mode kModes[] = {
    {'U', qv::Table::kUser},     {'L', qv::Table::kLists},    {'R', qv::Table::kResponder},
    {'X', qv::Table::kCommands}, {'P', qv::Table::kAccounts}, {'S', qv::Table::kRoutes},
};

bool HasMode(const char* modes, char letter) {
  for (const char* p = modes; *p; ++p) {
    char c = qv::UpperAscii(*p);
    if (c == letter || c == 'A') return true;
  }
  return false;
}

// Runs once the frame has checked the installation: argv[1] is there and asks for no usage.
int Run(qv::SYSTEMSTRUCT& system, int argc, char** argv) {
  const char* modes = argv[1];
  for (const char* p = modes; *p; ++p) {
    if (std::strchr("ULRXPSA", qv::UpperAscii(*p)) == nullptr) {
      std::printf(kUnknownMode, *p);
      return kExitMode;
    }
  }
  bool rebuild = false;
  if (argc >= 3) {
    if (!qv::EqualsNoCase(argv[2], "-r")) {
      std::printf(kInvalidSwitch, argv[2]);
      return kExitSwitch;
    }
    rebuild = true;
  }
  std::fflush(stdout);
  for (const Mode& mode : kModes) {
    if (!HasMode(modes, mode.letter)) continue;
    // A table that cannot be opened is skipped without a message.
    if (rebuild)
      qv::RebuildIndex(system, mode.table, stdout);
    else
      qv::CompactTable(system, mode.table, stdout);
    std::fflush(stdout);
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  return qv::tool::RunUtility(kUtility, argc, argv,
                              [&](qv::SYSTEMSTRUCT& system) { return Run(system, argc, argv); });
}
