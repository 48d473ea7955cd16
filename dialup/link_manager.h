// The dial-up link manager: dials a phone-book entry, joins a link that is already up, and hangs
// up only when the last user in any process of the system releases a link the system dialled.
// The cross-process part (the dial lock and the use count per entry) is the link share library;
// the dialling is the dial-up layer. Both are loaded at run time, so that a machine without
// either still runs the services (every open then fails with a text for the log).
//
// Thread-safe: the operations may be called from worker threads and the event loop at once.
// Every dial and hang-up happens under the dial lock, which serialises the threads of this
// process as well as the other processes.
#pragma once

#include <cstdint>
#include <string>

#include "common/config.h"
#include "common/dialup_link.h"
#include "common/result.h"
#include "dialup/link_libraries.h"

namespace qv::dialup {

struct LinkSettings {
  // RASUser and RASPassword: they replace the entry's stored user name and password when
  // `override_credentials` is set (the NT line of systems) and the user name is not empty.
  std::string user;
  std::string password;
  bool override_credentials = true;
  // The libraries, by name (see OpenLibrary).
  std::string ras_library = platform::ras::kLibraryName;
  std::string share_library = linkshare::kLibraryName;
  // How long to wait for the dial lock.
  uint32_t lock_wait_ms = 180000;
  // Load the link share library when the manager is made; otherwise at Start or the first use.
  bool load_share_at_once = true;
};

// The settings of the common key: RASUser and RASPassword, used on the NT line of systems.
LinkSettings LinkSettingsOf(const SYSTEMSTRUCT& system);

class LinkManager : public SystemDialupLink {
 public:
  // Loads the link share library at once unless the settings defer it; the dial-up layer loads
  // at first use.
  explicit LinkManager(LinkSettings settings = {});
  LinkManager(const LinkManager&) = delete;
  LinkManager& operator=(const LinkManager&) = delete;

  // Dials the entry or joins its link. The connection handle, or the text for the log of why
  // there is none (empty when every dial found the link going down).
  Result<HRASCONN> OpenConnection(const char* entry);

  // One user of the entry less; hangs up when this was the last user of a link the system
  // dialled. True when nothing had to be hung up or the hang-up succeeded; false when the dial
  // lock could not be taken.
  bool CloseConnection(const char* entry);

  // True when a connection of the entry exists and is connected.
  bool IsConnectionActive(const char* entry);

  // The services' interface: the three operations above.
  bool Open(const std::string& entry, std::string* error) override;
  bool Close(const std::string& entry) override { return CloseConnection(entry.c_str()); }
  bool IsActive(const std::string& entry) override { return IsConnectionActive(entry.c_str()); }
  void Start() override { share_.Load(); }

  // The first connection whose entry name equals `entry` (without regard to case), or 0.
  HRASCONN FindRasConnection(const char* entry);

 private:
  uint32_t LockRas();
  void UnlockRas();
  struct HangUpResult {
    uint32_t hang_up;  // the answer of the hang-up itself
    uint32_t status;   // the last status result (6 once the connection is gone)
  };
  // Hangs up and waits up to `timeout_ms` for the connection to be gone, looking every
  // `poll_ms`.
  HangUpResult HangUpHandle(HRASCONN handle, uint32_t timeout_ms, uint32_t poll_ms);
  void TraceShareCount(const char* entry);

  LinkSettings settings_;
  RasFunctions ras_;
  ShareFunctions share_;
};

}  // namespace qv::dialup
