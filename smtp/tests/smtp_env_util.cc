#include "smtp/tests/smtp_env_util.h"

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
#include "platform/registry.h"

namespace qv::smtp::testing {

SmtpEnv::SmtpEnv() : tables_("example.test;other.test") {
  SYSTEMSTRUCT& system = tables_.system();
  CopyField(system.HostName, "mx.example.test");
  CopyField(system.TempPath, temp());
  CopyField(system.LogPath, log());
  system.LogLevel = 5;
  system.ConnectTime = 3600;
  system.ClosingTime = 90;
  NETINFO& net = tables_.settings().net;
  CopyField(net.Address, "192.0.2.1");
  CopyField(net.HostName, "mx.example.test");
  SMTPSTRUCT& smtp = tables_.settings().smtp;
  smtp.Flags = kSmtpEsmtp;
  smtp.ESMTPMaxMsgSize = 5000;
  smtp.SMTPTimer = 900;
  smtp.ReturnTimer = 259200;
  smtp.Port = 25;
  smtp.PortEx = 25;
  ::mkdir(temp().c_str(), 0755);
  ForgetMessageMaskDecision();
}

void SmtpEnv::WriteServiceKeys(int port, uint32_t flags) const {
  reg::Key control;
  reg::CreateKey(kControlKey, "QuorvaneControl", &control);
  reg::SetString(&control, "HostName", "mx.example.test");
  reg::SetString(&control, "Domain", "example.test");
  reg::SetString(&control, "InstallPath", qv::testing::BinDir());
  reg::SetString(&control, "MailPath", mail());
  reg::SetString(&control, "TempPath", temp());
  reg::SetString(&control, "LogPath", log());
  reg::SetString(&control, "ConfigPath", tables_.config());
  reg::SetDword(&control, "LogLevel", 5);
  reg::CloseKey(&control);
  reg::Key smtp;
  reg::CreateKey(kSmtpKey, "QuorvaneSmtp", &smtp);
  reg::SetDword(&smtp, "Port", static_cast<uint32_t>(port));
  reg::SetDword(&smtp, "Flags", flags);
  reg::CloseKey(&smtp);
}

SmtpEnv::~SmtpEnv() {
  ForgetMessageMaskDecision();
}

void SmtpEnv::AddUser(const std::string& alias, const std::string& domain, const std::string& name,
                      const std::string& mailbox, int32_t options, const std::string& copy_incoming,
                      const std::string& copy_outgoing) {
  USERSTRUCT user = qv::testing::MakeUser(alias, domain, "secret", mailbox);
  CopyField(user.Name, name);
  user.Options = options;
  CopyField(user.CopyIncoming, copy_incoming);
  CopyField(user.CopyOutgoing, copy_outgoing);
  ASSERT_EQ(AddRecord(tables_.system(), &user), 0) << alias;
}

void SmtpEnv::AddList(const std::string& name, const std::string& domain,
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

void SmtpEnv::AddCommand(const std::string& name, const std::string& domain,
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

void SmtpEnv::AddRoute(const std::string& masks, int32_t type, const std::string& destination) {
  ROUTESTRUCT route{};
  CopyField(route.Masks, masks);
  route.Type = type;
  CopyField(route.Destination, destination);
  ASSERT_EQ(AddRecord(tables_.system(), &route), 0) << masks;
}

namespace {

std::vector<std::string> Files(const std::string& directory, const std::string& extension,
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

std::vector<std::string> SmtpEnv::Mailbox(const std::string& name) const {
  return Files(mail() + "/" + name, ".in", true);
}

std::vector<std::string> SmtpEnv::Queue() const {
  return Files(mail() + "/forward", ".out", true);
}

std::vector<std::string> SmtpEnv::TempFiles() const {
  return Files(temp(), "", false);
}

std::string SmtpEnv::LogText() const {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return qv::testing::ReadFileText(LogFilePath(log(), "s", local));
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

}  // namespace qv::smtp::testing
