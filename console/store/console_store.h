// Where the console's settings and records come from: this machine's registry and table files
// (local mode), or the control service of another host over one logged-in connection (remote
// mode). The pages see only this seam; LocalStore and RemoteStore are the two sides. Nothing
// here knows of windows: the store is a plain library, tested without a display.
//
// Every call blocks until it is done. A remote call waits at most the store's time-out (10 s) for
// each reply and is read until the reply is whole (a stream reply until the prompt of a NOOP
// sent behind it, so that an empty reply is told from a slow one), never cut at a buffer size.
// When a remote exchange fails the connection is closed and every later call fails at once with
// kConnectionBroken; the console then goes back to local mode. The service answers every
// PUTSTREAM with ">", so a remote record change is read back by its key, and one the service
// did not make is reported as a failure.
#pragma once

#include <cassert>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/result.h"
#include "net/tls_channel.h"

namespace qv::console {

// The error text of a remote call on a connection that broke.
inline constexpr char kConnectionBroken[] = "The connection is broken!";

// One record of one of the six tables, as the bytes of its packed structure.
class TableRecord {
 public:
  explicit TableRecord(Table table) : table_(table), bytes_(GetTableDef(table).record_size, '\0') {}
  template <class R>
  explicit TableRecord(const R& record)
      : table_(RecordTraits<R>::kTable),
        bytes_(reinterpret_cast<const char*>(&record),
               reinterpret_cast<const char*>(&record) + sizeof(R)) {}

  Table table() const { return table_; }
  void* data() { return bytes_.data(); }
  const void* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }

  // The record as its structure; asserts that it is of that table.
  template <class R>
  R& as() {
    assert(RecordTraits<R>::kTable == table_);
    return *reinterpret_cast<R*>(bytes_.data());
  }
  template <class R>
  const R& as() const {
    assert(RecordTraits<R>::kTable == table_);
    return *reinterpret_cast<const R*>(bytes_.data());
  }

  // The key field's text (the name or alias; a route's masks).
  std::string Key() const;
  // What the account tree shows: "%s@%s" of name and domain for users, lists and commands; the
  // key for the others.
  std::string NodeText() const;

 private:
  Table table_;
  std::vector<char> bytes_;
};

// The state of a mail service as the Servers page shows it.
enum class ServiceState { kUnknown, kNotInstalled, kNotStarted, kStarted, kPaused };

struct ServiceStates {
  ServiceState smtp = ServiceState::kUnknown;
  ServiceState pop3 = ServiceState::kUnknown;
};

// The transaction log files, by name only (no folder): SMTP's, then POP3's.
struct LogFiles {
  std::vector<std::string> smtp;
  std::vector<std::string> pop3;
};

// What the About page shows of the server.
struct AboutFacts {
  std::string host_name;
  std::string address;
  std::string domain;
  // The version texts of the SMTP, POP3 and control service programs; "<unknown>" when one
  // cannot be read (always so in remote mode, where the programs are on the other host).
  std::string smtp_version;
  std::string pop3_version;
  std::string control_version;
};

class ConsoleStore {
 public:
  virtual ~ConsoleStore() = default;

  // False in local mode.
  virtual bool remote() const = 0;
  // The host the console manages: its name in remote mode, empty in local mode.
  virtual std::string host() const = 0;

  // The three records and the network facts. Remote: GETSTREAM OPTIONS.
  virtual Status LoadSettings(Settings* settings) = 0;
  // Remote: PUTSTREAM OPTIONS (the service saves and restarts the mail services). Local: the
  // three records saved to the registry.
  virtual Status SaveSettings(const Settings& settings) = 0;

  // Every record of a table with a non-empty key, in index order.
  virtual Result<std::vector<TableRecord>> LoadTable(Table table) = 0;
  // A new record; a change of the record with the same key; the record with that key removed.
  virtual Status AddRecord(const TableRecord& record) = 0;
  virtual Status EditRecord(const TableRecord& record) = 0;
  virtual Status DeleteRecord(const TableRecord& record) = 0;

  // The members of a list's member file, in file order (empty records skipped).
  virtual Result<std::vector<MEMBERSTRUCT>> LoadMembers(const LISTSTRUCT& list) = 0;
  virtual Status AddMember(const LISTSTRUCT& list, const MEMBERSTRUCT& member) = 0;
  virtual Status DeleteMember(const LISTSTRUCT& list, const MEMBERSTRUCT& member) = 0;

  // The states of the SMTP and POP3 services. Remote: STATE.
  virtual Result<ServiceStates> QueryServices() = 0;
  // kCommandInstall, kCommandStart, kCommandStop or kCommandRemove for kServiceSmtp or
  // kServicePop3. Remote mode can only start and stop.
  virtual Status ServiceAction(int service, int command) = 0;

  // The names of the dial-up phone-book entries.
  virtual Result<std::vector<std::string>> PhoneBookEntries() = 0;
  // The transaction log files in LogPath.
  virtual Result<LogFiles> ListLogFiles() = 0;
  // The groups an NT user can be chosen from, as "name  (comment)" texts.
  virtual Result<std::vector<std::string>> NtGroups() = 0;
  // The facts of the About page, from the settings last loaded.
  virtual AboutFacts About(const Settings& settings) = 0;

  // Ends a remote session and waits until the service has finished with it (QUIT and its reply:
  // the service saves the session's settings first), so that what is read next on this computer
  // sees them. Every later call fails as on a broken connection. Nothing to do in local mode.
  virtual Status EndSession() { return {}; }
};

// This machine: the registry and files under QUORVANE_SYSTEM, the record store, ServiceCommand.
std::unique_ptr<ConsoleStore> MakeLocalStore();

// The outcome of a connection attempt: the store, or the error text of the login dialogue
// ("Socket error!", "The host name is unknown!", "The host does not respond!", "Invalid login
// name!", "You do not have permission to manage this server!", "Invalid password!", "General
// failure!").
struct ConnectOutcome {
  std::unique_ptr<ConsoleStore> store;
  std::string error;
  // Over TLS: the handshake completed but the certificate is not trusted (error tells why; no
  // login was sent), and the SHA-256 fingerprint of the server's certificate.
  bool untrusted = false;
  std::string fingerprint = {};
};

// Logs in to the control service on `host`:`port`. `timeout_ms` bounds every wait of the
// connection, the login and each later exchange. When `cancel_fd` (an eventfd, or -1) becomes
// readable, the attempt ends at once (the host lookup excepted) with "General failure!" or "The
// host does not respond!"; the store keeps a copy of the descriptor, so the caller may close its
// own. Destroying the remote store sends "QUIT" and closes the connection. With `tls` the
// connection is made to the implicit-TLS control port and the certificate trusted as it says; a
// failed handshake is "General failure!" followed by its reason.
ConnectOutcome ConnectControl(const std::string& host, const std::string& login,
                              const std::string& password, uint16_t port, int timeout_ms = 10000,
                              int cancel_fd = -1, const TlsTrust* tls = nullptr);

// The SHA-256 fingerprints of the self-signed certificates the user chose to trust, per host: a
// value of the console's own registry key (the services never write it). Empty: none.
std::string TrustedFingerprint(const std::string& host);
bool TrustFingerprint(const std::string& host, const std::string& fingerprint);

}  // namespace qv::console
