// qvpass: changes the password of one user of the user table after checking the old one. Run by
// hand, and by the SMTP service for a password change sent by mail ("changepass" command).

#include <cstdio>
#include <cstring>
#include <string>

#include "common/accounts.h"
#include "common/address.h"
#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/strings.h"
#include "common/tables.h"
#include "common/tool_frame.h"

namespace {

constexpr char kUsage[] =
    "Usage:   %s name oldpass newpass [newpass]\n"
    "         %s -?\n\n"
    "Options: name     The account name of the user\n"
    "         oldpass  The old password\n"
    "         newpass  The new password\n"
    "         -?       This screen\n\n"
    "To specify a empty password, enter \"\".\n";

constexpr char kTooFew[] = "Error: Too few parameters\n";
constexpr char kNotIdentical[] = "Error: The two entries for new password are not identical\n";
constexpr char kTooLong[] = "Error: The new password is longer than 80 characters\n";
constexpr char kNoUser[] = "Error: No username is given\n";
constexpr char kWrongPassword[] = "Error: The old password is incorrect\n";
constexpr char kCannotSave[] = "Error: Cannot save new password\n";
constexpr char kCannotGet[] = "Error: Cannot get user data from file '%s'\n";
constexpr char kNoSuchUser[] = "Error: User %s@%s does not exist\n";

constexpr qv::tool::Utility kUtility = {"qvpass", "Password Utility", kUsage};

using qv::tool::kExitOk;
constexpr int kExitArguments = 2;
constexpr int kExitNoUser = 3;
constexpr int kExitPassword = 4;
constexpr int kExitFailed = 5;

constexpr size_t kMaxPassword = sizeof(qv::USERSTRUCT::Password) - 1;  // 80

// A password as typed: an argument that begins with a quote is taken from its second character
// on, without the quotes at its end, so that "" gives the empty password.
std::string PasswordArgument(const char* arg) {
  std::string text = arg;
  if (!text.empty() && (text[0] == '"' || text[0] == '\'')) {
    text.erase(0, 1);
    while (!text.empty() && (text.back() == '"' || text.back() == '\'')) text.pop_back();
  }
  return text;
}

// Runs once the frame has checked the installation: argv[1] is there and asks for no usage.
int Run(qv::SYSTEMSTRUCT& system, int argc, char** argv) {
  const std::string name = argv[1];
  if (argc < 3) {
    std::fputs(kTooFew, stdout);
    return kExitArguments;
  }
  const std::string old_password = PasswordArgument(argv[2]);
  if (argc >= 5 && !qv::EqualsNoCase(argv[3], argv[4])) {
    std::fputs(kNotIdentical, stdout);
    return kExitArguments;
  }
  const std::string new_password = argc >= 4 ? PasswordArgument(argv[3]) : std::string();
  if (new_password.size() > kMaxPassword) {
    std::fputs(kTooLong, stdout);
    return kExitArguments;
  }
  if (name.empty()) {
    std::fputs(kNoUser, stdout);
    return kExitNoUser;
  }

  std::string alias, domain;
  qv::SplitAddress(name, &alias, &domain);
  // Find, check and write back under one lock, so that no other change to the record is lost.
  qv::TableLock lock(system, qv::Table::kUser, qv::LockMode::kExclusive);
  qv::USERSTRUCT user;
  int found = qv::FindRecord(system, alias, domain, &user);
  if (found < 0) {
    std::printf(kCannotGet, (std::string(system.ConfigPath) + "/user.dat").c_str());
    return kExitFailed;
  }
  if (found > 0) {
    std::printf(kNoSuchUser, alias.c_str(), domain.c_str());
    return kExitFailed;
  }
  // A user without a password has no old password to give: it is set by an administrator.
  if (!qv::PasswordMatches(qv::FieldText(user.Password), old_password)) {
    std::fputs(kWrongPassword, stdout);
    return kExitPassword;
  }
  qv::CopyField(user.Password, new_password);
  if (qv::UpdateRecord(system, user, false) != 0) {
    std::fputs(kCannotSave, stdout);
    return kExitPassword;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  return qv::tool::RunUtility(kUtility, argc, argv,
                              [&](qv::SYSTEMSTRUCT& system) { return Run(system, argc, argv); });
}
