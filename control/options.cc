#include "control/options.h"

#include <cstring>
#include <limits>

#include "common/records.h"
#include "common/strings.h"
#include "control/control_texts.h"
#include "control/stream_fields.h"

namespace qv::control {

namespace {

enum class Conversion { kText, kDecimal, kPingInterval, kIdleInterval, kFlags };

// One SET keyword: where its setting lives and how the value is converted.
struct OptionDef {
  const char* keyword;
  Conversion conversion;
  void* (*target)(Settings& settings);
  size_t width;  // of a text field
};

#define QV_TEXT(keyword, record, field)                                              \
  OptionDef {                                                                        \
    keyword, Conversion::kText, [](Settings& s) -> void* { return s.record.field; }, \
        sizeof(Settings{}.record.field)                                              \
  }
#define QV_NUMBER(keyword, conversion, record, field)                            \
  OptionDef {                                                                    \
    keyword, conversion, [](Settings& s) -> void* { return &s.record.field; }, 0 \
  }

const OptionDef kOptions[] = {
    QV_TEXT("LOCALHOST", system, HostName),
    QV_TEXT("LOCALDOMAIN", system, Domain),
    QV_TEXT("NAMESERVER", system, NameServer),
    QV_TEXT("MAILDIR", system, MailPath),
    QV_TEXT("TEMPDIR", system, TempPath),
    QV_TEXT("LOGDIR", system, LogPath),
    QV_NUMBER("LOGLEVEL", Conversion::kDecimal, system, LogLevel),
    QV_NUMBER("MAXLOGTIME", Conversion::kDecimal, system, MaxLogTime),
    QV_NUMBER("CTRLPORT", Conversion::kDecimal, system, Port),
    QV_NUMBER("SMTPPORT", Conversion::kDecimal, smtp, Port),
    QV_NUMBER("POP3PORT", Conversion::kDecimal, pop3, Port),
    QV_NUMBER("SMTPPORTEX", Conversion::kDecimal, smtp, PortEx),
    QV_NUMBER("POP3PORTEX", Conversion::kDecimal, pop3, PortEx),
    QV_NUMBER("PWPORT", Conversion::kDecimal, system, PasswordPort),
    QV_TEXT("RASENTRY", system, RASEntry),
    QV_TEXT("RASUSER", system, RASUser),
    QV_TEXT("RASPASSWORD", system, RASPassword),
    QV_NUMBER("PINGTIME", Conversion::kPingInterval, system, ConnectTime),
    QV_NUMBER("IDLETIME", Conversion::kIdleInterval, system, ClosingTime),
    QV_TEXT("NTUSER", system, NTUser),
    QV_TEXT("NTDOMAIN", system, NTDomain),
    QV_TEXT("ADMINNAME", system, AdministratorName),
    QV_TEXT("ADMINMAILBOX", system, AdministratorMailBox),
    QV_TEXT("NORESPONSEMASK", system, NoResponse),
    QV_TEXT("EXCHANGEHOST", smtp, ExchangeHost),
    QV_NUMBER("RETRYTIMER", Conversion::kPingInterval, smtp, SMTPTimer),
    QV_NUMBER("RETURNTIMER", Conversion::kPingInterval, smtp, ReturnTimer),
    QV_TEXT("FORWARDUNKNOWN", smtp, ForwardUnknown),
    QV_NUMBER("MAXMSGSIZE", Conversion::kDecimal, smtp, ESMTPMaxMsgSize),
    OptionDef{"FLAGS", Conversion::kFlags, nullptr, 0},
};

#undef QV_TEXT
#undef QV_NUMBER

// The flag words in the order ShowOptions lists them.
struct FlagDef {
  const char* word;
  bool smtp;  // a bit of the SMTP flags, else of the common flags
  uint32_t bit;
};

const FlagDef kFlags[] = {
    {"DIALUP", false, kSysDialup},
    {"PING", false, kSysPing},
    {"NTUSER", false, kSysNtUser},
    {"USEDNS", true, kSmtpUseDns},
    {"USEMX", true, kSmtpUseMx},
    {"IMMEDIATELLY", true, kSmtpImmediately},
    {"RETRY", true, kSmtpRetry},
    {"RETURNTOSENDER", true, kSmtpReturnToSender},
    {"SENDINFO", true, kSmtpSendInfo},
    {"ATTACHMESSAGE", true, kSmtpAttachMessage},
    {"ESMTP", true, kSmtpEsmtp},
    {"ESMTPSIZE", true, kSmtpEsmtpSize},
    {"NOTIFYUNKNOWN", true, kSmtpNotifyUnknown},
    {"FORWARDUNKNOWN", true, kSmtpForwardUnknown},
    {"SEARCHUNKNOWN", true, kSmtpSearchUnknown},
    {"DNSSUBDOMAIN", true, kSmtpDnsSubdomain},
    {"DOMAINASHOST", true, kSmtpDomainAsHost},
};

constexpr size_t kFlagLineWidth = 46;

bool IsQuote(char c) {
  return c == '"' || c == '\'';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The leading number of a text (leading blanks, optional sign, digits; 0 without digits), and
// the position after it. False when it does not fit 32 bits.
bool ReadNumber(std::string_view text, int64_t* number, size_t* end) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) return false;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min())
    return false;
  *number = value;
  *end = i;
  return true;
}

bool ApplyFlagList(Settings& settings, std::string_view list) {
  bool any = false;
  size_t pos = 0;
  while (pos < list.size()) {
    while (pos < list.size() && (list[pos] == ' ' || list[pos] == ',' || list[pos] == '\t')) ++pos;
    if (pos >= list.size()) break;
    size_t end = list.find_first_of(" ,\t", pos);
    if (end == std::string_view::npos) end = list.size();
    std::string_view item = list.substr(pos, end - pos);
    pos = end;
    any = true;
    bool set = true;
    if (item[0] == '+' || item[0] == '-') {
      set = item[0] == '+';
      item.remove_prefix(1);
    }
    for (const FlagDef& flag : kFlags) {
      if (!EqualsNoCase(item, flag.word)) continue;
      uint32_t& word = flag.smtp ? settings.smtp.Flags : settings.system.Flags;
      word = set ? (word | flag.bit) : (word & ~flag.bit);
      break;
    }
  }
  return any;
}

}  // namespace

void SplitInterval(int32_t seconds, IntervalKind kind, int* number, const char** unit) {
  int n = 0;
  const char* u = kUnitMinutes;
  switch (kind) {
    case IntervalKind::kMinutes:
      n = seconds / 60;
      if (n > 60 && n % 60 == 0) {
        n = seconds / 3600;
        u = kUnitHours;
        if (n > 24 && n % 24 == 0) {
          n = seconds / 86400;
          u = kUnitDays;
        }
      }
      break;
    case IntervalKind::kSeconds:
      n = seconds;
      u = kUnitSeconds;
      if (seconds > 60 && seconds % 60 == 0) {
        int m = seconds / 60;
        if (m < 61 || m % 60 != 0) {
          n = m;
          u = kUnitMinutes;
        } else {
          n = seconds / 3600;
          u = kUnitHours;
        }
      }
      break;
    case IntervalKind::kAccount:
      n = seconds / 60;
      if (n >= 60 && n % 60 == 0) {
        n /= 60;
        u = kUnitHours;
        if (n >= 24 && n % 24 == 0) {
          n /= 24;
          u = kUnitDays;
        }
      }
      break;
  }
  *number = n;
  *unit = u;
}

std::string FormatInterval(int32_t seconds, IntervalKind kind) {
  int n = 0;
  const char* unit = nullptr;
  SplitInterval(seconds, kind, &n, &unit);
  return Format(kInterval, n, unit);
}

std::string FlagWords(const Settings& settings) {
  std::string words;
  for (const FlagDef& flag : kFlags) {
    uint32_t word = flag.smtp ? settings.smtp.Flags : settings.system.Flags;
    if ((word & flag.bit) != 0) {
      words += flag.word;
      words += ' ';
    }
  }
  return words;
}

std::string WrapFlagWords(std::string_view words) {
  std::string out;
  size_t pos = 0;
  for (;;) {
    while (pos < words.size() && words[pos] == ' ') ++pos;
    std::string_view rest = words.substr(pos);
    if (rest.size() < kFlagLineWidth) {
      out += rest;
      return out;
    }
    size_t cut = rest.rfind(' ', kFlagLineWidth - 1);
    if (cut == std::string_view::npos || cut == 0) cut = kFlagLineWidth;  // one word too long
    out += rest.substr(0, cut);
    out += kFlagBreak;
    pos += cut;
  }
}

std::string ShowOptions(const Settings& settings) {
  const SYSTEMSTRUCT& s = settings.system;
  const SMTPSTRUCT& m = settings.smtp;
  auto text = [](const auto& field) { return std::string(FieldText(field)); };
  std::string out = Format(
      kShowOptions, text(s.HostName).c_str(), text(s.Domain).c_str(), text(s.NameServer).c_str(),
      text(s.MailPath).c_str(), text(s.TempPath).c_str(), text(s.LogPath).c_str(),
      text(s.ConfigPath).c_str(), s.LogLevel, s.MaxLogTime, s.Port, m.Port, settings.pop3.Port,
      s.PasswordPort, text(s.RASEntry).c_str(), text(s.RASUser).c_str(),
      text(s.RASPassword).c_str(), FormatInterval(s.ConnectTime, IntervalKind::kMinutes).c_str(),
      FormatInterval(s.ClosingTime, IntervalKind::kSeconds).c_str(), text(s.NTUser).c_str(),
      text(s.NTDomain).c_str(), text(s.AdministratorName).c_str(),
      text(s.AdministratorMailBox).c_str(), text(s.NoResponse).c_str(),
      text(m.ExchangeHost).c_str(), FormatInterval(m.SMTPTimer, IntervalKind::kMinutes).c_str(),
      FormatInterval(m.ReturnTimer, IntervalKind::kMinutes).c_str(), text(m.ForwardUnknown).c_str(),
      m.ESMTPMaxMsgSize);
  out += WrapFlagWords(FlagWords(settings));
  out += kPrompt;
  return out;
}

bool ParseInterval(std::string_view value, IntervalInput input, int32_t* seconds) {
  int64_t number = 0;
  size_t end = 0;
  if (!ReadNumber(value, &number, &end)) return false;
  while (end < value.size() && (IsDigit(value[end]) || value[end] == ' ')) ++end;
  char unit = end < value.size() ? UpperAscii(value[end]) : '\0';
  int64_t factor = 1;
  if (input == IntervalInput::kPingLike)
    factor = unit == 'D' ? 86400 : unit == 'H' ? 3600 : 60;
  else
    factor = unit == 'H' ? 3600 : unit == 'M' ? 60 : 1;
  int64_t result = number * factor;
  if (result > std::numeric_limits<int32_t>::max() || result < std::numeric_limits<int32_t>::min())
    return false;
  *seconds = static_cast<int32_t>(result);
  return true;
}

bool SetOption(Settings& settings, std::string_view keyword, std::string_view value) {
  while (!value.empty() && IsQuote(value.front())) value.remove_prefix(1);
  while (!value.empty() && IsQuote(value.back())) value.remove_suffix(1);
  for (const OptionDef& option : kOptions) {
    if (!EqualsNoCase(keyword, option.keyword)) continue;
    switch (option.conversion) {
      case Conversion::kText: {
        if (value.size() >= option.width || value.find('\0') != std::string_view::npos)
          return false;
        char* field = static_cast<char*>(option.target(settings));
        std::memset(field, 0, option.width);
        if (!value.empty()) std::memcpy(field, value.data(), value.size());
        return true;
      }
      case Conversion::kDecimal: {
        int64_t number = 0;
        size_t end = 0;
        if (!ReadNumber(value, &number, &end)) return false;
        *static_cast<int32_t*>(option.target(settings)) = static_cast<int32_t>(number);
        return true;
      }
      case Conversion::kPingInterval:
      case Conversion::kIdleInterval: {
        int32_t seconds = 0;
        IntervalInput input = option.conversion == Conversion::kIdleInterval
                                  ? IntervalInput::kIdle
                                  : IntervalInput::kPingLike;
        if (!ParseInterval(value, input, &seconds)) return false;
        *static_cast<int32_t*>(option.target(settings)) = seconds;
        return true;
      }
      case Conversion::kFlags:
        return ApplyFlagList(settings, value);
    }
  }
  return false;
}

bool ApplySetArguments(Settings& settings, std::string_view arguments) {
  Settings changed = settings;
  std::string_view rest = arguments;
  if (rest.find('=') != std::string_view::npos) {
    while (!rest.empty()) {
      size_t equals = rest.find('=');
      if (equals == std::string_view::npos) return false;  // a word that assigns nothing
      std::string_view keyword = rest.substr(0, equals);
      while (!keyword.empty() && keyword.back() == ' ') keyword.remove_suffix(1);
      size_t start = equals + 1;
      while (start < rest.size() && rest[start] == ' ') ++start;
      size_t end = rest.find(' ', start);
      std::string_view value =
          rest.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
      if (!SetOption(changed, keyword, value)) return false;
      if (end == std::string_view::npos) break;
      rest = rest.substr(end);
      while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    }
  } else {
    size_t blank = rest.find(' ');
    std::string_view word = rest.substr(0, blank);
    std::string_view value;
    if (EqualsNoCase(word, "FLAGS") && blank != std::string_view::npos)
      value = rest.substr(blank + 1);
    if (!SetOption(changed, word, value)) return false;
  }
  settings = changed;
  return true;
}

std::string BuildOptionsLine(const Settings& settings, const OptionsExtras& extras) {
  const SYSTEMSTRUCT& s = settings.system;
  const SMTPSTRUCT& m = settings.smtp;
  const POP3STRUCT& p = settings.pop3;
  const NETINFO& n = settings.net;
  auto text = [](const auto& field) { return std::string(FieldText(field)); };
  return Format(
      "%s|%s|%s|%s|%s|%s|%s|%d|%s|%d|%d|%d|%ld|%s|%s|%s|%d|%d|%s|%s|%s|%s|%s|%s|%d|%d|%d|%d|%ld|"
      "%s|%d|%d|%d|%ld|%s|%s|%s|%s|%s|%s|%d|%d|%d|",
      text(s.HostName).c_str(), text(s.Domain).c_str(), text(s.NameServer).c_str(),
      text(s.MailPath).c_str(), text(s.TempPath).c_str(), text(s.LogPath).c_str(),
      text(s.ConfigPath).c_str(), s.LogLevel, text(s.LogViewer).c_str(), s.MaxLogTime, s.Port,
      s.PasswordPort, static_cast<long>(static_cast<int32_t>(s.Flags)), text(s.RASEntry).c_str(),
      text(s.RASUser).c_str(), text(s.RASPassword).c_str(), s.ConnectTime, s.ClosingTime,
      text(s.NTUser).c_str(), text(s.NTDomain).c_str(), text(s.AdministratorName).c_str(),
      text(s.AdministratorMailBox).c_str(), text(s.NoResponse).c_str(),
      text(m.ExchangeHost).c_str(), m.SMTPTimer, m.ReturnTimer, m.Port, m.PortEx,
      static_cast<long>(static_cast<int32_t>(m.Flags)), text(m.ForwardUnknown).c_str(),
      m.ESMTPMaxMsgSize, p.Port, p.PortEx, static_cast<long>(static_cast<int32_t>(p.Flags)),
      text(n.Description).c_str(), text(n.SystemStatus).c_str(), text(n.Address).c_str(),
      text(extras.texts[0]).c_str(), text(extras.texts[1]).c_str(), text(extras.texts[2]).c_str(),
      extras.numbers[0], extras.numbers[1], extras.numbers[2]);
}

bool ParseOptionsLine(std::string_view line, Settings* settings, OptionsExtras* extras) {
  size_t end = line.find_first_of(std::string_view("\r\n\0", 3));
  std::string_view fields = line.substr(0, end);
  size_t bars = 0;
  for (char c : fields) bars += c == '|';
  if (bars < kOptionsFieldCount - 1 ||
      (bars == kOptionsFieldCount - 1 && fields.back() == '|'))  // the 43rd field is missing
    return false;
  SYSTEMSTRUCT& s = settings->system;
  SMTPSTRUCT& m = settings->smtp;
  POP3STRUCT& p = settings->pop3;
  StreamFields f(fields);
  f.Text(s.HostName);
  f.Text(s.Domain);
  f.Text(s.NameServer);
  f.Text(s.MailPath);
  f.Text(s.TempPath);
  f.Text(s.LogPath);
  f.Text(s.ConfigPath);
  s.LogLevel = f.Number();
  f.Text(s.LogViewer);
  s.MaxLogTime = f.Number();
  s.Port = f.Number();
  s.PasswordPort = f.Number();
  s.Flags = static_cast<uint32_t>(f.Number());
  f.Text(s.RASEntry);
  f.Text(s.RASUser);
  f.Text(s.RASPassword);
  s.ConnectTime = f.Number();
  s.ClosingTime = f.Number();
  f.Text(s.NTUser);
  f.Text(s.NTDomain);
  f.Text(s.AdministratorName);
  f.Text(s.AdministratorMailBox);
  f.Text(s.NoResponse);
  f.Text(m.ExchangeHost);
  m.SMTPTimer = f.Number();
  m.ReturnTimer = f.Number();
  m.Port = f.Number();
  m.PortEx = f.Number();
  m.Flags = static_cast<uint32_t>(f.Number());
  f.Text(m.ForwardUnknown);
  m.ESMTPMaxMsgSize = f.Number();
  p.Port = f.Number();
  p.PortEx = f.Number();
  p.Flags = static_cast<uint32_t>(f.Number());
  f.Skip();  // the sockets layer's description,
  f.Skip();  // its status
  f.Skip();  // and the host address are the host's own
  for (auto& text : extras->texts) f.Text(text);
  for (int32_t& number : extras->numbers) number = f.Number();
  return true;
}

}  // namespace qv::control
