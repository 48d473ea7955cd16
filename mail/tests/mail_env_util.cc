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

MailEnv::MailEnv() : tables_("example.test;other.test") {
  CopyField(g_System.HostName, "mx.example.test");
  CopyField(g_System.TempPath, temp());
  CopyField(g_System.LogPath, log());
  g_System.LogLevel = 5;
  std::memset(&g_Smtp, 0, sizeof g_Smtp);
  g_Smtp.Flags = kSmtpEsmtp;
  g_Smtp.SMTPTimer = 900;
  g_Smtp.ReturnTimer = 259200;
  ::mkdir(temp().c_str(), 0755);
  ForgetMessageMaskDecision();
  service.log_prefix = kLogPrefixSmtp;
  service.deliver = [this](std::string_view entry, std::string_view reverse_path, int fd,
                           bool local, bool top_level) {
    DeliverRecipients(service, entry, reverse_path, fd, local, top_level);
  };
}

MailEnv::~MailEnv() {
  std::memset(&g_Smtp, 0, sizeof g_Smtp);
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
  ASSERT_EQ(AddRecord(&user), 0) << alias;
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
  ASSERT_EQ(AddRecord(&command), 0) << name;
}

namespace {

std::vector<std::string> MessageFiles(const std::string& directory, const std::string& extension) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    if (entry.path().extension() == extension) names.push_back(entry.path().string());
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> texts;
  for (const auto& name : names) {
    std::string text;
    ReadMessageFile(name, 0, &text);
    texts.push_back(text);
  }
  return texts;
}

}  // namespace

std::vector<std::string> MailEnv::Mailbox(const std::string& name) const {
  return MessageFiles(mail() + "/" + name, ".in");
}

std::vector<std::string> MailEnv::Queue() const {
  return MessageFiles(mail() + "/forward", ".out");
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
