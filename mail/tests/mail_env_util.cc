#include "mail/tests/mail_env_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>

#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/recordstore.h"
#include "mail/delivery.h"

namespace qv::mail::testing {

MailEnv::MailEnv(const std::string& domains) : tables_(domains) {
  SYSTEMSTRUCT& system = tables_.system();
  CopyField(system.HostName, "mx.example.test");
  CopyField(system.TempPath, temp());
  CopyField(system.LogPath, log());
  system.LogLevel = 5;
  SMTPSTRUCT& smtp = tables_.settings().smtp;
  smtp.Flags = kSmtpEsmtp;
  smtp.SMTPTimer = 900;
  smtp.ReturnTimer = 259200;
  ::mkdir(temp().c_str(), 0755);
  ForgetMessageMaskDecision();
  service.settings = &tables_.settings();
  service.log_prefix = kLogPrefixSmtp;
}

MailEnv::~MailEnv() {
  ForgetMessageMaskDecision();
}

void MailEnv::AddUser(const std::string& alias, const std::string& domain, const std::string& name,
                      const std::string& mailbox, int32_t options, const std::string& copy_incoming,
                      const std::string& copy_outgoing) {
  USERSTRUCT user = qv::testing::MakeUser(alias, domain, "secret", mailbox);
  CopyField(user.Name, name);
  user.Options = options;
  CopyField(user.CopyIncoming, copy_incoming);
  CopyField(user.CopyOutgoing, copy_outgoing);
  ASSERT_EQ(AddRecord(tables_.system(), &user), 0) << alias;
}

void MailEnv::AddList(const std::string& name, const std::string& domain,
                      const std::string& description, const std::string& member_file,
                      int32_t options, const std::string& owner, const std::string& owner_domain) {
  LISTSTRUCT list{};
  CopyField(list.Name, name);
  CopyField(list.Domain, domain);
  CopyField(list.Description, description);
  CopyField(list.FileName, member_file);
  CopyField(list.OwnerUser, owner);
  CopyField(list.OwnerDomain, owner_domain);
  list.Options = options;
  ASSERT_EQ(AddRecord(tables_.system(), &list), 0) << name;
}

void MailEnv::AddRoute(const std::string& masks, int32_t type, const std::string& destination) {
  ROUTESTRUCT route{};
  CopyField(route.Masks, masks);
  route.Type = type;
  CopyField(route.Destination, destination);
  ASSERT_EQ(AddRecord(tables_.system(), &route), 0) << masks;
}

void MailEnv::AddCommand(const std::string& name, const std::string& domain,
                         const std::string& description, const std::string& application,
                         const std::string& parameters) {
  EXECSTRUCT command{};
  CopyField(command.Name, name);
  CopyField(command.Domain, domain);
  CopyField(command.Description, description);
  CopyField(command.Application, application);
  CopyField(command.Parameters, parameters);
  ASSERT_EQ(AddRecord(tables_.system(), &command), 0) << name;
}

namespace {

// The files of a folder with `extension` (any, when empty), in name order: their unmasked
// contents, or with `unmask` false their names.
std::vector<std::string> FolderFiles(const std::string& directory, const std::string& extension,
                                     bool unmask) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    std::string name = entry.path().filename().string();
    if (extension.empty() || entry.path().extension() == extension) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> texts;
  for (const auto& name : names) {
    std::string text;
    if (unmask) {
      ReadMessageFile(directory + "/" + name, 0, &text);
    } else {
      text = name;
    }
    texts.push_back(text);
  }
  return texts;
}

}  // namespace

std::vector<std::string> MailEnv::Mailbox(const std::string& name) const {
  return FolderFiles(mail() + "/" + name, ".in", true);
}

std::vector<std::string> MailEnv::Queue() const {
  return FolderFiles(mail() + "/forward", ".out", true);
}

std::vector<std::string> MailEnv::TempFiles() const {
  return FolderFiles(temp(), "", false);
}

std::vector<std::string> MailEnv::Files(const std::string& folder) const {
  std::vector<std::string> paths;
  for (const std::string& name : FolderFiles(mail() + "/" + folder, "", false))
    if (name[0] != '.') paths.push_back(mail() + "/" + folder + "/" + name);
  return paths;
}

std::string MailEnv::OnlyMessage(const std::string& folder) const {
  std::vector<std::string> files = Files(folder);
  std::string text;
  if (files.size() != 1 || ReadMessageFile(files[0], 0, &text) != 0) return "";
  return text;
}

std::vector<std::string> MailEnv::LogTexts(const std::string& prefix) const {
  std::string log = LogText(prefix);
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < log.size()) {
    size_t end = log.find("\r\n", pos);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(pos, end - pos);
    size_t tag = line.find("*** ");
    if (tag != std::string::npos) out.push_back(line.substr(tag + 4));
    pos = end + 2;
  }
  return out;
}

std::string MailEnv::LogText(const std::string& prefix) const {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return qv::testing::ReadFileText(LogFilePath(log(), prefix, local));
}

std::string Normalize(const std::string& text) {
  static const std::regex date(
      "(Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-9]{1,2} [A-Z][a-z]{2} [0-9]{2}  "
      "[0-9]{2}:[0-9]{2}:[0-9]{2} "
      "[+-][0-9]{4}");
  static const std::regex id("<[0-9]{14}@");
  std::string out = std::regex_replace(text, date, "<date>");
  return std::regex_replace(out, id, "<<id>@");
}

}  // namespace qv::mail::testing
