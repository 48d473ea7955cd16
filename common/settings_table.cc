#include "common/settings_table.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/records.h"
#include "common/strings.h"
#include "platform/registry.h"

namespace qv {
namespace {

constexpr int64_t kLeast = std::numeric_limits<int32_t>::min();
constexpr int64_t kMost = std::numeric_limits<int32_t>::max();
constexpr int32_t kMaxPort = 65535;

constexpr SettingDefault Keep() {
  return {};
}
constexpr SettingDefault Text(const char* text) {
  return {Fallback::kText, text, 0};
}
constexpr SettingDefault Number(int32_t number) {
  return {Fallback::kNumber, "", number};
}
constexpr SettingDefault From(Fallback rule, const char* text = "") {
  return {rule, text, 0};
}

// How loading tidies a row, and with what.
struct Tidying {
  Tidy tidy = Tidy::kNone;
  SettingDefault with{};
};
constexpr Tidying None() {
  return {};
}
constexpr Tidying DropSlash() {
  return {Tidy::kDropSlash, {}};
}
constexpr Tidying SlashMeans(const char* under_install) {
  return {Tidy::kSlashMeansUnderInstall, Text(under_install)};
}
constexpr Tidying AtLeast(int32_t number) {
  return {Tidy::kAtLeast, Number(number)};
}
constexpr Tidying WithinBounds() {
  return {Tidy::kWithinBounds, {}};
}

// Where a row appears: saved, in the OPTIONS line, in SET's listing; its SET keyword.
struct Places {
  int save;
  int line;
  int show;
  const char* keyword;
  SetConversion conversion;
};

struct Range {
  int32_t lower;
  int32_t upper;
};
constexpr Range kAnyNumber{std::numeric_limits<int32_t>::min(),
                           std::numeric_limits<int32_t>::max()};
constexpr Range kPortRange{1, kMaxPort};

template <class Record>
constexpr SettingRecord RecordOf();
template <>
constexpr SettingRecord RecordOf<SYSTEMSTRUCT>() {
  return SettingRecord::kSystem;
}
template <>
constexpr SettingRecord RecordOf<SMTPSTRUCT>() {
  return SettingRecord::kSmtp;
}
template <>
constexpr SettingRecord RecordOf<POP3STRUCT>() {
  return SettingRecord::kPop3;
}

template <class Record>
constexpr SettingDef TextRow(const char* name, size_t offset, size_t width, ReadRule read,
                             SettingDefault initial, SettingDefault missing, Tidying tidying,
                             Places places) {
  return {name,
          RecordOf<Record>(),
          SettingKind::kText,
          offset,
          width,
          read,
          initial,
          missing,
          tidying.tidy,
          tidying.with,
          kLeast,
          kMost,
          0,
          0,
          places.save,
          places.line,
          places.show,
          places.keyword,
          places.conversion};
}

template <class Record>
constexpr SettingDef NumberRow(const char* name, size_t offset, SettingKind kind, ReadRule read,
                               SettingDefault initial, SettingDefault missing, Tidying tidying,
                               Range edit, Places places) {
  return {name,
          RecordOf<Record>(),
          kind,
          offset,
          sizeof(int32_t),
          read,
          initial,
          missing,
          tidying.tidy,
          tidying.with,
          kLeast,
          kMost,
          edit.lower,
          edit.upper,
          places.save,
          places.line,
          places.show,
          places.keyword,
          places.conversion};
}

// A port some client connects to, and one the services listen on (also judged across rows).
constexpr SettingDef Port(SettingDef def) {
  def.lower = kPortRange.lower;
  def.upper = kPortRange.upper;
  return def;
}
constexpr SettingDef Listener(SettingDef def) {
  def = Port(def);
  def.guard = SettingGuard::kListenerPort;
  return def;
}
// A port a service may also listen on, 0 turning it off.
constexpr SettingDef OptionalPort(SettingDef def) {
  def.lower = 0;
  def.upper = kMaxPort;
  return def;
}
constexpr SettingDef ServiceFolder(SettingDef def) {
  def.guard = SettingGuard::kServiceFolder;
  return def;
}
// A row added to the system's own settings: not set while 0 or empty (see SettingDef::optional);
// a number that is set stays within `bounds`.
constexpr SettingDef Optional(SettingDef def, Range bounds = kAnyNumber) {
  def.optional = true;
  if (def.kind != SettingKind::kText) {
    def.lower = def.edit_lower = bounds.lower;
    def.upper = def.edit_upper = bounds.upper;
  }
  return def;
}
constexpr SettingDef Address(SettingDef def) {
  def.address = true;
  return def;
}

#define QV_TEXT(S, F, ...) TextRow<S>(#F, offsetof(S, F), sizeof(S::F), __VA_ARGS__)
#define QV_NUMBER(S, F, ...) \
  NumberRow<S>(#F, offsetof(S, F), SettingKind::kNumber, ReadRule::kDword, __VA_ARGS__)
#define QV_RAW_NUMBER(S, F, ...) \
  NumberRow<S>(#F, offsetof(S, F), SettingKind::kNumber, ReadRule::kRawNumber, __VA_ARGS__)
#define QV_FLAGS(S, initial, missing, save, line)                                           \
  NumberRow<S>("Flags", offsetof(S, Flags), SettingKind::kFlags, ReadRule::kDword, initial, \
               missing, None(), kAnyNumber, {save, line, -1, nullptr, SetConversion::kNone})

constexpr SetConversion kText = SetConversion::kText;
constexpr SetConversion kDecimal = SetConversion::kDecimal;
constexpr SetConversion kPing = SetConversion::kPingInterval;
constexpr SetConversion kIdle = SetConversion::kIdleInterval;
constexpr SetConversion kUnset = SetConversion::kNone;
using R = ReadRule;
using SYS = SYSTEMSTRUCT;
using SMTP = SMTPSTRUCT;
using POP3 = POP3STRUCT;

// clang-format off
constexpr SettingDef kSettings[] = {
    //     record, field,            read,            initial,                          missing,                                  tidy,              save, line, show, keyword,           SET
    QV_TEXT(SYS, HostName,             R::kSzNonEmpty, From(Fallback::kNetHostName), Keep(), None(),                                   {0, 0, 0, "LOCALHOST", kText}),
    QV_TEXT(SYS, Domain,               R::kSzNonEmpty, From(Fallback::kLogonDomain), Keep(), None(),                                   {1, 1, 1, "LOCALDOMAIN", kText}),
    QV_TEXT(SYS, NameServer,           R::kAnyText,    Keep(),                       Keep(), None(),                                   {2, 2, 2, "NAMESERVER", kText}),
    QV_TEXT(SYS, InstallPath,          R::kSz,         Keep(),                       Text(kDefaultInstallPath), DropSlash(),           {-1, -1, -1, nullptr, kUnset}),
    ServiceFolder(QV_TEXT(SYS, MailPath,             R::kSz,         Keep(),                       From(Fallback::kUnderInstallPath, "/mail"), DropSlash(), {5, 3, 3, "MAILDIR", kText})),
    ServiceFolder(QV_TEXT(SYS, TempPath,             R::kSz,         Keep(),                       From(Fallback::kUnderInstallPath, "/temp"), DropSlash(), {6, 4, 4, "TEMPDIR", kText})),
    ServiceFolder(QV_TEXT(SYS, LogPath,              R::kSz,         Keep(),                       Text(kDefaultLogPath), SlashMeans("/log"),         {7, 5, 5, "LOGDIR", kText})),
    ServiceFolder(QV_TEXT(SYS, ConfigPath,           R::kSz,         Keep(),                       Text(kDefaultConfigPath), None(),                  {8, 6, 6, nullptr, kUnset})),
    QV_NUMBER(SYS, LogLevel,                           Number(1),                    Number(4), None(), kAnyNumber,                     {12, 7, 7, "LOGLEVEL", kDecimal}),
    QV_TEXT(SYS, LogViewer,            R::kSzNonEmpty, Text("NOTEPAD.EXE"),          Keep(), None(),                                   {9, 8, -1, nullptr, kUnset}),
    QV_NUMBER(SYS, MaxLogTime,                         Number(7),                    Keep(), None(), Range{0, 36500},                  {13, 9, 8, "MAXLOGTIME", kDecimal}),
    Listener(QV_NUMBER(SYS, Port,                               Number(32000),                Keep(), None(), kPortRange,                       {10, 10, 9, "CTRLPORT", kDecimal})),
    Listener(QV_NUMBER(SYS, PasswordPort,                       Number(106),                  Keep(), None(), kPortRange,                       {11, 11, 12, "PWPORT", kDecimal})),
    QV_FLAGS(SYS, Keep(), Number(0), 14, 12),
    QV_TEXT(SYS, RASEntry,             R::kAnyText,    Keep(),                       Keep(), None(),                                   {15, 13, 13, "RASENTRY", kText}),
    QV_TEXT(SYS, RASUser,              R::kAnyText,    Keep(),                       Keep(), None(),                                   {16, 14, 14, "RASUSER", kText}),
    QV_TEXT(SYS, RASPassword,          R::kAnyText,    Keep(),                       Keep(), None(),                                   {17, 15, 15, "RASPASSWORD", kText}),
    QV_NUMBER(SYS, ConnectTime,                        Number(3600),                 Keep(), AtLeast(60), kAnyNumber,                  {18, 16, 16, "PINGTIME", kPing}),
    QV_NUMBER(SYS, ClosingTime,                        Number(90),                   Keep(), None(), kAnyNumber,                       {19, 17, 17, "IDLETIME", kIdle}),
    QV_TEXT(SYS, RemoteServer,         R::kAnyText,    Keep(),                       Keep(), None(),                                   {20, -1, -1, nullptr, kUnset}),
    QV_TEXT(SYS, NTUser,               R::kAnyText,    Keep(),                       Keep(), None(),                                   {22, 18, 18, "NTUSER", kText}),
    QV_TEXT(SYS, NTDomain,             R::kSzNonEmpty, From(Fallback::kLogonDomain), From(Fallback::kFirstDomain), None(),             {23, 19, 19, "NTDOMAIN", kText}),
    QV_TEXT(SYS, AdministratorName,    R::kAnyText,    Keep(),                       Keep(), None(),                                   {3, 20, 20, "ADMINNAME", kText}),
    QV_TEXT(SYS, AdministratorMailBox, R::kAnyText,    Keep(),                       Keep(), None(),                                   {4, 21, 21, "ADMINMAILBOX", kText}),
    QV_TEXT(SYS, NoResponse,           R::kAnyText,    Keep(),                       Keep(), None(),                                   {24, 22, 22, "NORESPONSEMASK", kText}),
    QV_TEXT(SYS, RemoteLogin,          R::kAnyText,    Keep(),                       Keep(), None(),                                   {21, -1, -1, nullptr, kUnset}),
    // The listen address and the limits before a logon: optional rows, saved after the others
    // and listed by SET and sent in the OPTIONS line only while set. Slots: of 25 control and 5
    // password slots (control/service.h).
    Optional(Address(QV_TEXT(SYS, ListenAddress, R::kAnyText, Keep(),                       Keep(), None(),                                   {25, -1, -1, "LISTENADDRESS", kText}))),
    Optional(QV_NUMBER(SYS, PreLogonTime,                      Keep(),                       Keep(), WithinBounds(), kAnyNumber,               {26, -1, -1, "PRELOGONTIME", kDecimal}), Range{5, 3600}),
    Optional(QV_NUMBER(SYS, PreLogonPerAddress,                Keep(),                       Keep(), WithinBounds(), kAnyNumber,               {27, -1, -1, "PRELOGONPERADDRESS", kDecimal}), Range{1, 25}),
    Optional(QV_NUMBER(SYS, PasswordPreLogonPerAddress,        Keep(),                       Keep(), WithinBounds(), kAnyNumber,               {28, -1, -1, "PWPRELOGONPERADDRESS", kDecimal}), Range{1, 5}),

    QV_TEXT(SMTP, ExchangeHost,        R::kAnyText,    Keep(),                       Keep(), None(),                                   {0, 23, 23, "EXCHANGEHOST", kText}),
    QV_NUMBER(SMTP, SMTPTimer,                         Number(900),                  Keep(), AtLeast(60), kAnyNumber,                  {2, 24, 24, "RETRYTIMER", kPing}),
    QV_NUMBER(SMTP, ReturnTimer,                       Number(259200),               Keep(), AtLeast(60), kAnyNumber,                  {6, 25, 25, "RETURNTIMER", kPing}),
    Listener(QV_NUMBER(SMTP, Port,                              Number(25),                   Keep(), None(), kPortRange,                       {3, 26, 10, "SMTPPORT", kDecimal})),
    Port(QV_NUMBER(SMTP, PortEx,                            Number(25),                   Keep(), None(), kPortRange,                       {4, 27, -1, "SMTPPORTEX", kDecimal})),
    QV_FLAGS(SMTP, Number(1), Number(0), 7, 28),
    QV_TEXT(SMTP, ForwardUnknown,      R::kAnyText,    Keep(),                       Keep(), None(),                                   {1, 29, 26, "FORWARDUNKNOWN", kText}),
    QV_RAW_NUMBER(SMTP, ESMTPMaxMsgSize,               Number(5000),                 Keep(), None(), Range{0, INT32_MAX},              {5, 30, 27, "MAXMSGSIZE", kDecimal}),

    Listener(QV_NUMBER(POP3, Port,                              Number(110),                  Keep(), None(), kPortRange,                       {0, 31, 11, "POP3PORT", kDecimal})),
    Port(QV_NUMBER(POP3, PortEx,                            Number(110),                  Keep(), None(), kPortRange,                       {1, 32, -1, "POP3PORTEX", kDecimal})),
    QV_FLAGS(POP3, Keep(), Number(0), 2, 33),

    // TLS, authenticated submission and relay control. Absent, they leave every service as it
    // always was; only the installer writes them (never saved with their record, not in the
    // OPTIONS line or SET), so that a record saved by the console or SET keeps its values.
    QV_TEXT(SYS, TlsCertificate,       R::kAnyText,    Keep(),                       Keep(), None(),                                   {-1, -1, -1, nullptr, kUnset}),
    QV_TEXT(SYS, TlsKey,               R::kAnyText,    Keep(),                       Keep(), None(),                                   {-1, -1, -1, nullptr, kUnset}),
    OptionalPort(QV_NUMBER(SYS, TlsControlPort,                 Number(0),                    Number(0), None(), Range{0, kMaxPort},            {-1, -1, -1, nullptr, kUnset})),
    OptionalPort(QV_NUMBER(SMTP, SubmissionPort,                Number(0),                    Number(0), None(), Range{0, kMaxPort},            {-1, -1, -1, nullptr, kUnset})),
    OptionalPort(QV_NUMBER(SMTP, SmtpsPort,                     Number(0),                    Number(0), None(), Range{0, kMaxPort},            {-1, -1, -1, nullptr, kUnset})),
    QV_TEXT(SMTP, RelayNetworks,       R::kAnyText,    Keep(),                       Keep(), None(),                                   {-1, -1, -1, nullptr, kUnset}),
    OptionalPort(QV_NUMBER(POP3, Pop3sPort,                     Number(0),                    Number(0), None(), Range{0, kMaxPort},            {-1, -1, -1, nullptr, kUnset})),

    // Encrypted and authenticated outgoing connections: the smart host's login, TLS to SMTP
    // peers and to the collection's POP3 servers. Absent, every conversation stays as it was.
    // Not saved with their record (a record saved by the console or SET keeps what the installer
    // or qvreg wrote); SET names them, and the control service writes one back only when a
    // session changed it (control/options.h: OutgoingRows).
    QV_TEXT(SMTP, ExchangeUser,        R::kAnyText,    Keep(),                       Keep(), None(),                                   {-1, -1, -1, "EXCHANGEUSER", kText}),
    QV_TEXT(SMTP, ExchangePassword,    R::kAnyText,    Keep(),                       Keep(), None(),                                   {-1, -1, -1, "EXCHANGEPASSWORD", kText}),
    QV_NUMBER(SMTP, TLSOutgoing,                       Number(0),                    Number(0), None(), Range{0, 2},                   {-1, -1, -1, "TLSOUTGOING", kDecimal}),
    QV_NUMBER(SMTP, TLSVerify,                         Number(1),                    Number(1), None(), Range{0, 1},                   {-1, -1, -1, "TLSVERIFY", kDecimal}),
    QV_NUMBER(POP3, TLSRemote,                         Number(0),                    Number(0), None(), Range{0, 2},                   {-1, -1, -1, "TLSREMOTE", kDecimal}),
    QV_NUMBER(POP3, TLSVerify,                         Number(1),                    Number(1), None(), Range{0, 1},                   {-1, -1, -1, "POP3TLSVERIFY", kDecimal}),
};
// clang-format on

#undef QV_TEXT
#undef QV_NUMBER
#undef QV_RAW_NUMBER
#undef QV_FLAGS

char* RecordBase(Settings& settings, SettingRecord record) {
  switch (record) {
    case SettingRecord::kSmtp:
      return reinterpret_cast<char*>(&settings.smtp);
    case SettingRecord::kPop3:
      return reinterpret_cast<char*>(&settings.pop3);
    case SettingRecord::kSystem:
      break;
  }
  return reinterpret_cast<char*>(&settings.system);
}

// Queries a text value into a field; true when the query succeeded and the value passes the
// row's rule. The field is left untouched otherwise.
bool QueryText(const reg::Key& key, const SettingDef& def, char* field) {
  uint32_t type = 0, size = static_cast<uint32_t>(def.width);
  // An address too long for its field is taken cut, so that it is refused rather than missing
  // (a missing address listens everywhere).
  if (def.address && reg::QueryValue(key, def.name, &type, nullptr, &size) == reg::kSuccess)
    size = std::max<uint32_t>(size, static_cast<uint32_t>(def.width));
  std::string buffer(size, '\0');
  if (reg::QueryValue(key, def.name, &type, buffer.data(), &size) != reg::kSuccess) return false;
  if (def.read != ReadRule::kAnyText && type != reg::kSz) return false;
  if (def.read == ReadRule::kSzNonEmpty && (size == 0 || buffer[0] == '\0')) return false;
  std::memset(field, 0, def.width);
  std::memcpy(field, buffer.data(), std::min<size_t>(size, def.width));
  field[def.width - 1] = '\0';
  return true;
}

// A number: with kDword present as a 32-bit number; with kRawNumber whatever bytes are stored,
// if they fit.
bool QueryNumber(const reg::Key& key, const SettingDef& def, int32_t* out) {
  uint32_t type = 0, value = 0, size = sizeof value;
  if (reg::QueryValue(key, def.name, &type, &value, &size) != reg::kSuccess) return false;
  if (def.read == ReadRule::kRawNumber) {
    int32_t result = 0;
    std::memcpy(&result, &value, std::min<uint32_t>(size, sizeof result));
    *out = result;
    return true;
  }
  if (type != reg::kDword || size != sizeof value) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

// The machine's logon domain, empty when it has none.
std::string LogonDomain() {
  reg::Key winlogon;
  char name[128] = {};
  if (reg::OpenKey(kWinlogonKey, &winlogon) == reg::kSuccess) {
    uint32_t type = 0, size = sizeof name;
    if (reg::QueryValue(winlogon, "DefaultDomainName", &type, name, &size) != reg::kSuccess)
      name[0] = '\0';
    name[sizeof name - 1] = '\0';
  }
  return name;
}

void Apply(Settings& settings, const SettingDef& def, const SettingDefault& value,
           const std::string& logon_domain) {
  if (def.kind != SettingKind::kText) {
    if (value.rule == Fallback::kNumber) SettingNumber(settings, def) = value.number;
    return;
  }
  char* field = SettingText(settings, def);
  switch (value.rule) {
    case Fallback::kKeep:
    case Fallback::kNumber:
      return;
    case Fallback::kText:
      CopyField(field, def.width, value.text);
      return;
    case Fallback::kNetHostName:
      CopyField(field, def.width, settings.net.HostName);
      return;
    case Fallback::kLogonDomain:
      CopyField(field, def.width, logon_domain);
      return;
    case Fallback::kUnderInstallPath:
      CopyField(field, def.width, std::string(settings.system.InstallPath) + value.text);
      return;
    case Fallback::kFirstDomain: {
      std::string domain = settings.system.Domain;
      CopyField(field, def.width, domain.substr(0, domain.find(';')));
      return;
    }
  }
}

void TidyUp(Settings& settings, const SettingDef& def) {
  switch (def.tidy) {
    case Tidy::kNone:
      return;
    case Tidy::kDropSlash: {
      char* path = SettingText(settings, def);
      size_t n = std::strlen(path);
      if (n > 0 && path[n - 1] == '/') path[n - 1] = '\0';
      return;
    }
    case Tidy::kSlashMeansUnderInstall: {
      const char* path = SettingText(settings, def);
      size_t n = std::strlen(path);
      if (n > 0 && path[n - 1] == '/')
        Apply(settings, def, From(Fallback::kUnderInstallPath, def.tidy_with.text), {});
      return;
    }
    case Tidy::kAtLeast: {
      int32_t& number = SettingNumber(settings, def);
      if (number < def.tidy_with.number) number = def.tidy_with.number;
      return;
    }
    case Tidy::kWithinBounds: {
      int32_t& number = SettingNumber(settings, def);
      if (number != 0)
        number = static_cast<int32_t>(std::clamp<int64_t>(number, def.lower, def.upper));
      return;
    }
  }
}

// Writes values into one key, created when missing; remembers whether the key could be opened
// and every value was stored.
class KeyWriter {
 public:
  explicit KeyWriter(SettingRecord record)
      : ok_(reg::CreateKey(SettingKey(record), SettingKeyClass(record), &key_) == reg::kSuccess) {}
  ~KeyWriter() {
    if (key_.valid()) reg::CloseKey(&key_);
  }
  KeyWriter(const KeyWriter&) = delete;
  KeyWriter& operator=(const KeyWriter&) = delete;

  void Write(const Settings& settings, const SettingDef& def) {
    if (!key_.valid()) return;
    if (def.optional && !OptionalSettingSet(settings, def)) {
      long gone = reg::DeleteValue(&key_, def.name);
      ok_ = (gone == reg::kSuccess || gone == reg::kFileNotFound) && ok_;
      return;
    }
    long rc =
        def.kind == SettingKind::kText
            ? reg::SetString(&key_, def.name, SettingText(settings, def))
            : reg::SetDword(&key_, def.name, static_cast<uint32_t>(SettingNumber(settings, def)));
    ok_ = rc == reg::kSuccess && ok_;
  }
  bool ok() const { return ok_; }

 private:
  reg::Key key_;
  bool ok_;
};

}  // namespace

std::span<const SettingDef> SettingsTable() {
  return kSettings;
}

const SettingDef* FindSetting(SettingRecord record, std::string_view name) {
  for (const SettingDef& def : kSettings)
    if (def.record == record && name == def.name) return &def;
  return nullptr;
}

const SettingDef* FindSettingKeyword(std::string_view keyword) {
  for (const SettingDef& def : kSettings)
    if (def.keyword != nullptr && EqualsNoCase(keyword, def.keyword)) return &def;
  return nullptr;
}

const char* SettingKey(SettingRecord record) {
  switch (record) {
    case SettingRecord::kSmtp:
      return kSmtpKey;
    case SettingRecord::kPop3:
      return kPop3Key;
    case SettingRecord::kSystem:
      break;
  }
  return kControlKey;
}

const char* SettingKeyClass(SettingRecord record) {
  switch (record) {
    case SettingRecord::kSmtp:
      return "QuorvaneSmtp";
    case SettingRecord::kPop3:
      return "QuorvanePop3";
    case SettingRecord::kSystem:
      break;
  }
  return "QuorvaneControl";
}

char* SettingText(Settings& settings, const SettingDef& def) {
  return RecordBase(settings, def.record) + def.offset;
}

const char* SettingText(const Settings& settings, const SettingDef& def) {
  return SettingText(const_cast<Settings&>(settings), def);
}

int32_t& SettingNumber(Settings& settings, const SettingDef& def) {
  // A flag word is a uint32_t; its signed twin may stand for it.
  return *reinterpret_cast<int32_t*>(RecordBase(settings, def.record) + def.offset);
}

int32_t SettingNumber(const Settings& settings, const SettingDef& def) {
  return SettingNumber(const_cast<Settings&>(settings), def);
}

bool SettingAccepts(const SettingDef& def, int64_t number) {
  return def.kind != SettingKind::kText &&
         ((number >= def.lower && number <= def.upper) || (def.optional && number == 0));
}

bool SettingAccepts(const SettingDef& def, std::string_view text) {
  return def.kind == SettingKind::kText && text.size() < def.width &&
         text.find('\0') == std::string_view::npos &&
         (!def.address || text.empty() || IsAddressLiteral(text));
}

bool IsAddressLiteral(std::string_view text) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
  std::string copy(text);  // inet_pton wants a terminated text; a zero inside ends it early
  if (copy.find('\0') != std::string::npos) return false;
  unsigned char bytes[sizeof(in6_addr)];
  return inet_pton(AF_INET, copy.c_str(), bytes) == 1 ||
         inet_pton(AF_INET6, copy.c_str(), bytes) == 1;
}

bool OptionalSettingSet(const Settings& settings, const SettingDef& def) {
  return def.kind == SettingKind::kText ? SettingText(settings, def)[0] != '\0'
                                        : SettingNumber(settings, def) != 0;
}

bool StoreSetting(Settings& settings, const SettingDef& def, int64_t number) {
  if (!SettingAccepts(def, number)) return false;
  SettingNumber(settings, def) = static_cast<int32_t>(number);
  return true;
}

bool StoreSetting(Settings& settings, const SettingDef& def, std::string_view text) {
  if (!SettingAccepts(def, text)) return false;
  char* field = SettingText(settings, def);
  std::memset(field, 0, def.width);
  if (!text.empty()) std::memcpy(field, text.data(), text.size());
  return true;
}

bool IsSystemFolder(std::string_view path) {
  if (path.empty() || path.front() != '/') return false;
  std::string normal;  // the path without empty steps, "." and ".."
  size_t pos = 0;
  while (pos < path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view step = path.substr(pos, slash - pos);
    pos = slash + 1;
    if (step.empty() || step == ".") continue;
    if (step == "..") {
      normal.erase(std::min(normal.size(), normal.rfind('/')));
      continue;
    }
    normal.append("/").append(step);
  }
  if (normal.empty()) return true;
  static constexpr std::string_view kSystem[] = {
      "/bin", "/boot",    "/dev",     "/etc",     "/home",     "/lib",       "/lib64",
      "/opt", "/proc",    "/root",    "/run",     "/sbin",     "/srv",       "/sys",
      "/tmp", "/usr",     "/usr/bin", "/usr/lib", "/usr/sbin", "/usr/local", "/usr/local/bin",
      "/var", "/var/lib", "/var/log", "/var/tmp", "/var/mail", "/var/spool"};
  for (std::string_view system : kSystem)
    if (normal == system) return true;
  return false;
}

bool SettingsChangeAccepted(const Settings& before, const Settings& after) {
  std::vector<const SettingDef*> listeners;
  for (const SettingDef& def : kSettings)
    if (def.guard == SettingGuard::kListenerPort) listeners.push_back(&def);
  for (const SettingDef& def : kSettings) {
    switch (def.guard) {
      case SettingGuard::kNone:
        break;
      case SettingGuard::kListenerPort: {
        int32_t port = SettingNumber(after, def);
        if (port == SettingNumber(before, def)) break;
        for (const SettingDef* other : listeners)
          if (other != &def && SettingNumber(after, *other) == port) return false;
        break;
      }
      case SettingGuard::kServiceFolder: {
        std::string_view path = FieldText(SettingText(after, def), def.width);
        if (path != FieldText(SettingText(before, def), def.width) && IsSystemFolder(path))
          return false;
        break;
      }
    }
  }
  return true;
}

bool LoadSettingsRecord(Settings& settings, SettingRecord record) {
  char* base = RecordBase(settings, record);
  size_t size = record == SettingRecord::kSystem ? sizeof settings.system
                : record == SettingRecord::kSmtp ? sizeof settings.smtp
                                                 : sizeof settings.pop3;
  std::memset(base, 0, size);
  std::string logon_domain;
  if (record == SettingRecord::kSystem) logon_domain = LogonDomain();
  for (const SettingDef& def : kSettings)
    if (def.record == record) Apply(settings, def, def.initial, logon_domain);
  reg::Key key;
  if (reg::OpenKey(SettingKey(record), &key) != reg::kSuccess) return false;
  for (const SettingDef& def : kSettings) {
    if (def.record != record) continue;
    bool read = def.kind == SettingKind::kText
                    ? QueryText(key, def, SettingText(settings, def))
                    : QueryNumber(key, def, &SettingNumber(settings, def));
    if (!read) Apply(settings, def, def.missing, logon_domain);
  }
  reg::CloseKey(&key);
  for (const SettingDef& def : kSettings)
    if (def.record == record) TidyUp(settings, def);
  return true;
}

bool SaveSettingsRecord(const Settings& settings, SettingRecord record) {
  KeyWriter key(record);
  ForEachSaved(record, [&](const SettingDef& def) { key.Write(settings, def); });
  return key.ok();
}

bool SaveSettingValues(const Settings& settings, SettingRecord record,
                       std::initializer_list<std::string_view> names) {
  KeyWriter key(record);
  for (std::string_view name : names)
    if (const SettingDef* def = FindSetting(record, name)) key.Write(settings, *def);
  return key.ok();
}

}  // namespace qv
