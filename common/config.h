// The configuration store: the three settings records of a process, loaded from the registry at
// start and saved by the control service and the console, plus the network facts and the start
// and stop of the three services. What each field of the records is (registry value, defaults,
// bounds, SET keyword, OPTIONS field) is declared once, in common/settings_table.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv {

// Registry keys, below the local-machine root.
inline constexpr char kControlKey[] =
    "System\\CurrentControlSet\\Services\\QuorvaneControl\\Parameters";
inline constexpr char kSmtpKey[] = "System\\CurrentControlSet\\Services\\QuorvaneSmtp\\Parameters";
inline constexpr char kPop3Key[] = "System\\CurrentControlSet\\Services\\QuorvanePop3\\Parameters";
inline constexpr char kWinlogonKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
inline constexpr char kProductKey[] = "SOFTWARE\\Brennock\\Quorvane";
inline constexpr char kTraceKey[] = "Software\\Brennock\\Quorvane\\ZDebug";

// Defaults of the paths.
inline constexpr char kDefaultInstallPath[] = "/opt/quorvane";
inline constexpr char kDefaultLogPath[] = "/opt/quorvane/log";
inline constexpr char kDefaultConfigPath[] = "/opt/quorvane/config";

// The records live only in memory (they are never stored as bytes), so they keep natural
// alignment; the field order and the text widths are the system's.
struct SYSTEMSTRUCT {
  char HostName[128];
  char Domain[255];
  char NameServer[128];
  char InstallPath[260];
  char MailPath[260];
  char TempPath[260];
  char LogPath[260];
  char ConfigPath[260];
  int32_t LogLevel;
  char LogViewer[260];
  int32_t MaxLogTime;
  int32_t Port;
  int32_t PasswordPort;
  uint32_t Flags;
  char RASEntry[128];
  char RASUser[128];
  char RASPassword[128];
  int32_t ConnectTime;
  int32_t ClosingTime;
  char RemoteServer[128];
  char NTUser[128];
  char NTDomain[128];
  char AdministratorName[128];
  char AdministratorMailBox[128];
  char NoResponse[512];
  char RemoteLogin[128];
  // Added to the system's own fields; 0 or empty means not set, and the service's default
  // applies (see the optional rows of common/settings_table.h).
  char ListenAddress[64];              // the one local address the services listen on
  int32_t PreLogonTime;                // seconds from accept to the control or password logon
  int32_t PreLogonPerAddress;          // control slots of one address before its logon
  int32_t PasswordPreLogonPerAddress;  // password slots of one address before its logon
  // TLS of every service: the certificate chain and the private key (PEM files; empty: no TLS),
  // and the control service's implicit-TLS port (0: none).
  char TlsCertificate[260];
  char TlsKey[260];
  int32_t TlsControlPort;
};

struct SMTPSTRUCT {
  char ExchangeHost[128];
  int32_t SMTPTimer;
  int32_t ReturnTimer;
  int32_t Port;
  int32_t PortEx;
  uint32_t Flags;
  char ForwardUnknown[128];
  int32_t ESMTPMaxMsgSize;
  // The submission port (STARTTLS, AUTH required) and the implicit-TLS port; 0: none.
  int32_t SubmissionPort;
  int32_t SmtpsPort;
  // The networks that may relay without AUTH ("127.0.0.0/8 ::1", "none"); empty: every client.
  char RelayNetworks[512];
  // The login at the smart hosts of ExchangeHost and the TLS of outgoing connections (0: none;
  // 1: STARTTLS when offered; 2: required, implicit on port 465); TLSVerify 1 checks the peer's
  // certificate and name.
  char ExchangeUser[128];
  char ExchangePassword[128];
  int32_t TLSOutgoing;
  int32_t TLSVerify;
};

struct POP3STRUCT {
  int32_t Port;
  int32_t PortEx;
  uint32_t Flags;
  int32_t Pop3sPort;  // the implicit-TLS port; 0: none
  // TLS of the collection (0: none; 1: STLS when offered; 2: required) and the peer's check.
  int32_t TLSRemote;
  int32_t TLSVerify;
};

struct NETINFO {
  char Description[258];
  char SystemStatus[130];
  char HostName[128];
  char Address[16];
};

static_assert(sizeof(SYSTEMSTRUCT::HostName) == 128 && sizeof(SYSTEMSTRUCT::Domain) == 255 &&
              sizeof(SYSTEMSTRUCT::InstallPath) == 260 && sizeof(SYSTEMSTRUCT::NoResponse) == 512);
static_assert(sizeof(SMTPSTRUCT::ExchangeHost) == 128 && sizeof(SMTPSTRUCT::ForwardUnknown) == 128);

// Common option bits.
constexpr uint32_t kSysNtMode = 0x0001;
constexpr uint32_t kSysDialup = 0x0002;
constexpr uint32_t kSysPing = 0x0004;
constexpr uint32_t kSysNtUser = 0x0010;
constexpr uint32_t kSysNtLocal = 0x0020;

// SMTP option bits.
constexpr uint32_t kSmtpUseDns = 0x0001;
constexpr uint32_t kSmtpUseMx = 0x0002;
constexpr uint32_t kSmtpImmediately = 0x0004;
constexpr uint32_t kSmtpRetry = 0x0008;
constexpr uint32_t kSmtpReturnToSender = 0x0010;
constexpr uint32_t kSmtpSendInfo = 0x0020;
constexpr uint32_t kSmtpAttachMessage = 0x0040;
constexpr uint32_t kSmtpEsmtp = 0x0080;
constexpr uint32_t kSmtpEnforceSize = 0x0100;
constexpr uint32_t kSmtpClientEhlo = 0x0200;
constexpr uint32_t kSmtpEsmtpSize = 0x0400;
constexpr uint32_t kSmtpNotifyUnknown = 0x0800;
constexpr uint32_t kSmtpForwardUnknown = 0x1000;
constexpr uint32_t kSmtpSearchUnknown = 0x2000;
constexpr uint32_t kSmtpDnsSubdomain = 0x4000;
constexpr uint32_t kSmtpDomainAsHost = 0x8000;

// Every setting of a process: the three records, the network facts, the mode and the autostart
// marks. Loaded once at start (LoadSettings) and handed by reference to what needs it; the
// control service and the console load a copy, edit it and save it.
struct Settings {
  SYSTEMSTRUCT system{};
  SMTPSTRUCT smtp{};
  POP3STRUCT pop3{};
  NETINFO net{};
  // NT mode: the service manager instead of presence locks. Off for the services; the console and
  // the setup library turn it on where the machine has a service manager.
  bool nt_mode = false;
  // Whether each service's program is in the start entry (presence-lock mode).
  bool autostart_control = false;
  bool autostart_smtp = false;
  bool autostart_pop3 = false;
};

// The network facts, then the common, SMTP and POP3 records with their defaults. Loading
// cannot fail: a missing key or value gives its default.
void LoadSettings(Settings& settings);
void GetNetworkInfo(NETINFO& net);
// LoadSystemConfig takes the host name default from settings.net.
void LoadSystemConfig(Settings& settings);
void LoadSmtpConfig(Settings& settings);
void LoadPop3Config(Settings& settings);
// Saving writes every value of the record's key (creating the key) and brings the start entry
// in line; false when the key cannot be created or a value cannot be stored.
bool SaveSystemConfig(const Settings& settings);
// Only Port, RemoteServer and RemoteLogin of the common key.
bool SaveRemoteConfig(const Settings& settings);
bool SaveSmtpConfig(const Settings& settings);
bool SavePop3Config(const Settings& settings);
// Makes the temporary, log and mail folders where they are missing, as every save of the common
// record does.
void MakeServiceFolders(const SYSTEMSTRUCT& system);

// Services and commands of ServiceCommand.
constexpr int kServiceSmtp = 1;
constexpr int kServicePop3 = 2;
constexpr int kServiceControl = 3;

constexpr int kCommandQuery = 1;
constexpr int kCommandInstall = 2;
constexpr int kCommandStart = 5;
constexpr int kCommandStop = 6;
constexpr int kCommandRemove = 7;
constexpr int kCommandInterrogate = 8;  // restart in the presence-lock mode

int ServiceCommand(const Settings& settings, int service, int command);

// Names of a service: its presence class and service name, display name and program.
const char* ServiceName(int service);
const char* ServiceDisplayName(int service);
const char* ServiceProgram(int service);
std::string ServiceProgramPath(const Settings& settings, int service);

// The start entry rule, as a pure function: the entry as it should be (lower case) for the
// program under `install_path` and the autostart wish. Exposed for tests.
std::string AdjustStartEntry(const std::string& entry, const std::string& install_path,
                             const std::string& program, bool wanted);

// Copies `text` into a fixed field of `width` bytes, cut and zero-terminated.
void CopyField(char* field, size_t width, const std::string& text);
template <size_t N>
void CopyField(char (&field)[N], const std::string& text) {
  CopyField(field, N, text);
}

}  // namespace qv
