// qvuser: adds, shows and deletes users of the user table and imports users from a text file,
// working directly on the record files beside the running services.

#include <cstdio>
#include <cstring>
#include <string>

#include "common/accounts.h"
#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "common/tool_frame.h"

namespace {

constexpr char kUsage[] =
    "Usage:   %s ADD -a alias [-d domain] [-n name] [-p password]\n"
    "         %s ADD filename\n"
    "         %s SHOW -a alias [-d domain]\n"
    "         %s DELETE -a alias -d domain\n"
    "         %s -?\n\n"
    "Options: -a alias     The alias part of the mail address\n"
    "         -d domain    The domain part of the mail address\n"
    "         -n name      The full name of the user\n"
    "         -p password  The password\n"
    "         -?           This screen\n\n"
    "If the 'ADD filename' command is used, all user data must be specified\n"
    "in this file.\n";

constexpr char kMultipleValues[] = "Error: Multiple values for -%c\n";
constexpr char kNoCommand[] = "Error: No command is given\n";
constexpr char kNoAlias[] = "Error: No alias is given\n";
constexpr char kNoDomain[] = "Error: No domain name is given\n";
constexpr char kCannotImport[] = "Error: Cannot read user records from file '%s'.\n";
constexpr char kImported[] = "User records from file '%s' added successfully.\n";
constexpr char kNotConverted[] =
    "Attention: %d user records from file '%s' could not be converted.\n";
constexpr char kCannotAdd[] = "Error: Cannot add new user to file '%s'\n";
constexpr char kServiceFolder[] = "Error: '%s' is a folder of the mail services, not a mailbox\n";
constexpr char kExists[] = "Error: User %s@%s already exists\n";
constexpr char kCannotGet[] = "Error: Cannot get user data from file '%s'\n";
constexpr char kNoSuchUser[] = "Error: User %s@%s does not exist\n";
constexpr char kCannotDelete[] = "Error: Cannot delete user data from file '%s'\n";

constexpr qv::tool::Utility kUtility = {"qvuser", "User Configuration Utility", kUsage};

using qv::tool::kExitOk;
constexpr int kExitMultiple = 3;
constexpr int kExitMissing = 4;
constexpr int kExitFailed = 5;

enum class Command { kNone, kAdd, kShow, kDelete };

struct Options {
  Command command = Command::kNone;
  std::string alias, domain, name, password, import_file;
  bool given[4] = {};  // -a -d -n -p
};

// Parses the arguments; returns the option letter given twice, or 0.
char Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (o->command == Command::kNone) {
      if (qv::StartsWithNoCase(arg, "ADD"))
        o->command = Command::kAdd;
      else if (qv::StartsWithNoCase(arg, "SHOW"))
        o->command = Command::kShow;
      else if (qv::StartsWithNoCase(arg, "DELETE"))
        o->command = Command::kDelete;
      continue;  // anything before the command is ignored
    }
    if (arg[0] == '-') {
      static const char kLetters[] = "adnp";
      const char* hit = arg[1] != '\0' ? std::strchr(kLetters, arg[1] | 0x20) : nullptr;
      if (hit == nullptr) continue;
      int which = static_cast<int>(hit - kLetters);
      if (o->given[which]) return *hit;
      o->given[which] = true;
      std::string value = arg + 2;
      if (value.empty() && i + 1 < argc) value = argv[++i];
      if (*hit == 'n') {
        while (i + 1 < argc && argv[i + 1][0] != '-') value += std::string(" ") + argv[++i];
      }
      std::string* targets[] = {&o->alias, &o->domain, &o->name, &o->password};
      *targets[which] = value;
      continue;
    }
    if (o->command == Command::kAdd) {
      o->import_file = arg;
      break;
    }
  }
  return 0;
}

// A user without a password is kept, but no service lets it log on: the tool says so.
void ShowPasswordNote(const qv::USERSTRUCT& u) {
  if (qv::FieldText(u.Password).empty()) std::printf("%s\n", qv::kNoPasswordNote);
}

void ShowUser(const qv::USERSTRUCT& u) {
  std::printf("Alias:                          %s\n", u.Alias);
  std::printf("Domain:                         %s\n", u.Domain);
  std::printf("Name:                           %s\n", u.Name);
  int32_t options = u.Options;
  if (options & (qv::kUserAdmin | qv::kUserListManager))
    std::printf("Options:                        %s%s\n",
                (options & qv::kUserAdmin) ? "Administrator " : "",
                (options & qv::kUserListManager) ? "Listmanager" : "");
  if (options & qv::kUserPopLookup)
    std::printf("POP lookup on account:          %s\n", u.PopAccount);
  if (options & qv::kUserRemote)
    std::printf("Route to remote mail address:   %s\n", u.Mailbox);
  else
    std::printf("Route to local mailbox:         %s\n", u.Mailbox);
  if (u.CopyIncoming[0] != '\0')
    std::printf("Copy of incomming mail to:      %s\n", u.CopyIncoming);
  if (u.CopyOutgoing[0] != '\0')
    std::printf("Copy of outgoing mail to:       %s\n", u.CopyOutgoing);
  if (options & qv::kUserRespond) std::printf("Respond with:                   %s\n", u.Responder);
  if (options & qv::kUserJoinList)
    std::printf("Add originator to mailing list: %s\n", u.MailingList);
  ShowPasswordNote(u);
}

// Makes every text field of a record read from disk zero-terminated before it is printed.
void TerminateFields(qv::USERSTRUCT* u) {
  const qv::TableDef& def = qv::GetTableDef(qv::Table::kUser);
  char* bytes = reinterpret_cast<char*>(u);
  for (size_t i = 0; i < def.field_count; ++i)
    if (!def.fields[i].number) bytes[def.fields[i].offset + def.fields[i].width - 1] = '\0';
}

// Runs once the frame has checked the installation: argv[1] is there and asks for no usage.
int Run(qv::SYSTEMSTRUCT& system, int argc, char** argv) {
  const std::string data_file = std::string(system.ConfigPath) + "/user.dat";

  Options o;
  if (char twice = Parse(argc, argv, &o)) {
    std::printf(kMultipleValues, twice);
    return kExitMultiple;
  }
  if (o.command == Command::kNone) {
    std::fputs(kNoCommand, stdout);
    return kExitMissing;
  }
  if (o.alias.empty() && o.import_file.empty()) {
    std::fputs(kNoAlias, stdout);
    return kExitMissing;
  }
  if (o.command == Command::kDelete && o.domain.empty()) {
    std::fputs(kNoDomain, stdout);
    return kExitMissing;
  }

  if (o.command == Command::kAdd && !o.import_file.empty()) {
    std::fflush(stdout);
    int result = qv::ImportUsers(system, o.import_file, stdout);
    if (result < 0) {
      std::printf(kCannotImport, o.import_file.c_str());
      return kExitFailed;
    }
    if (result > 0) {
      std::printf(kNotConverted, result, o.import_file.c_str());
      return kExitFailed;
    }
    std::printf(kImported, o.import_file.c_str());
    return kExitOk;
  }

  qv::USERSTRUCT user{};
  qv::CopyField(user.Alias, o.alias);
  qv::CopyField(user.Domain, o.domain);
  switch (o.command) {
    case Command::kAdd: {
      qv::CopyField(user.Password, o.password);
      qv::CopyField(user.Name, o.name);
      user.Options = 0;
      int result = qv::AddRecord(system, &user);
      if (result < 0 && qv::IsServiceFolder(qv::FieldText(user.Mailbox))) {
        std::printf(kServiceFolder, user.Mailbox);
        return kExitFailed;
      }
      if (result < 0) {
        std::printf(kCannotAdd, data_file.c_str());
        return kExitFailed;
      }
      if (result > 0) {
        std::printf(kExists, o.alias.c_str(), o.domain.c_str());
        return kExitFailed;
      }
      ShowPasswordNote(user);
      return kExitOk;
    }
    case Command::kShow: {
      qv::USERSTRUCT found;
      int result = qv::FindRecord(system, o.alias, o.domain, &found);
      if (result < 0) {
        std::printf(kCannotGet, data_file.c_str());
        return kExitFailed;
      }
      if (result > 0) {
        std::printf(kNoSuchUser, o.alias.c_str(), o.domain.c_str());
        return kExitFailed;
      }
      TerminateFields(&found);
      ShowUser(found);
      return kExitOk;
    }
    case Command::kDelete:
      if (qv::UpdateRecord(system, user, true) != 0) {
        std::printf(kCannotDelete, data_file.c_str());
        return kExitFailed;
      }
      return kExitOk;
    case Command::kNone:
      break;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  return qv::tool::RunUtility(kUtility, argc, argv,
                              [&](qv::SYSTEMSTRUCT& system) { return Run(system, argc, argv); });
}
