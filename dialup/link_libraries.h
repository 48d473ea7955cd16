// The two libraries the link manager loads at run time and binds by name: the dial-up layer
// (librasapi32.so, loaded at first use) and the link share library (libbrasshr.so, loaded at
// process start once the trace is set up, or at its first use). A missing library or entry point
// makes every call of that table answer 126; a failed load is not tried again while the table
// lives.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "linkshare/brasshr.h"
#include "platform/rasapi.h"

namespace qv::dialup {

// Finds a library by name: a name with "/" is opened as it is; a plain name is looked for beside
// the running program first, then by the loader's search. nullptr when not found.
void* OpenLibrary(const std::string& name);

// The dial-up layer's functions (the RAS table). Thread-safe: loading happens under the table's
// critical section, and the entry points never change afterwards.
class RasFunctions {
 public:
  explicit RasFunctions(std::string library = platform::ras::kLibraryName);
  ~RasFunctions();
  RasFunctions(const RasFunctions&) = delete;
  RasFunctions& operator=(const RasFunctions&) = delete;

  // Loads the library unless that was tried before; true when its six entry points are there.
  bool Load();

  uint32_t Dial(RASDIALPARAMSA* params, HRASCONN* handle);
  uint32_t HangUp(HRASCONN handle);
  uint32_t GetEntryDialParams(const char* phonebook, RASDIALPARAMSA* params,
                              int32_t* password_returned);
  uint32_t EnumConnections(RASCONNA* connections, uint32_t* bytes, uint32_t* count);
  uint32_t GetConnectStatus(HRASCONN handle, RASCONNSTATUSA* status);
  uint32_t GetErrorString(uint32_t error, char* text, uint32_t size);

 private:
  std::mutex mutex_;  // the critical section around the table
  std::string library_;
  void* handle_ = nullptr;
  bool tried_ = false;
  platform::ras::RasDialFn dial_ = nullptr;
  platform::ras::RasHangUpFn hang_up_ = nullptr;
  platform::ras::RasGetEntryDialParamsFn dial_params_ = nullptr;
  platform::ras::RasEnumConnectionsFn enum_connections_ = nullptr;
  platform::ras::RasGetConnectStatusFn connect_status_ = nullptr;
  platform::ras::RasGetErrorStringFn error_string_ = nullptr;
};

// The link share library's functions (the share table), loaded once, by Load or the first call.
// Thread-safe like the RAS table.
class ShareFunctions {
 public:
  explicit ShareFunctions(std::string library = linkshare::kLibraryName);
  ~ShareFunctions();
  ShareFunctions(const ShareFunctions&) = delete;
  ShareFunctions& operator=(const ShareFunctions&) = delete;

  // Loads the library, tracing it, unless that was tried before; true when its five entry
  // points are there.
  bool Load();

  uint32_t LockRas(uint32_t wait_ms, uint32_t* wait_result);
  uint32_t UnlockRas();
  uint32_t AddRef(const char* entry, bool already_up);
  uint32_t ReleaseRef(const char* entry, int32_t* hang_up);
  uint32_t ShareCount(const char* entry, uint32_t operation, int32_t* previous, int32_t value);

 private:
  void LoadOnce();

  std::once_flag load_;
  std::string library_;
  void* handle_ = nullptr;
  linkshare::LockRasFn lock_ = nullptr;
  linkshare::UnlockRasFn unlock_ = nullptr;
  linkshare::AddRefFn add_ref_ = nullptr;
  linkshare::ReleaseRefFn release_ref_ = nullptr;
  linkshare::ShareCountFn share_count_ = nullptr;
};

// The answer of a call whose library or entry point is missing.
inline constexpr uint32_t kErrModNotFound = 126;

}  // namespace qv::dialup
