#include "dialup/link_manager.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "common/dialup_link.h"
#include "common/program.h"
#include "common/strings.h"
#include "common/trace.h"
#include "dialup/dialup_texts.h"

namespace qv::dialup {
namespace {

namespace ras = platform::ras;

constexpr uint32_t kEnumEntries = 32;  // the first enumeration's room: 13184 bytes
constexpr int kDialAttempts = 3;
constexpr uint32_t kFailedDialHangUpMs = 2000;
constexpr uint32_t kCloseHangUpMs = 16000;
constexpr uint32_t kClosePollMs = 250;
// A poll interval of 0 would ask for the status without pause (each answer may start a
// program); the shortest pause between two questions.
constexpr uint32_t kMinPollMs = 20;

bool Tracing(int level) {
  return TraceLevel() <= level;
}

void CopyText(char* dest, size_t size, const std::string& text) {
  size_t n = std::min(text.size(), size - 1);
  std::memcpy(dest, text.data(), n);
  dest[n] = '\0';
}

// The millisecond tick counter (it wraps around like the system's).
uint32_t Tick() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

const char* Hidden(const char* password) {
  return *password != '\0' ? kTraceHidden : "";
}

}  // namespace

LinkSettings LinkSettingsOf(const SYSTEMSTRUCT& system) {
  LinkSettings s;
  s.user = std::string(system.RASUser, strnlen(system.RASUser, sizeof system.RASUser));
  s.password =
      std::string(system.RASPassword, strnlen(system.RASPassword, sizeof system.RASPassword));
  s.override_credentials = GetWindowsKind() != 0;
  return s;
}

LinkManager::LinkManager(LinkSettings settings)
    : settings_(std::move(settings)), ras_(settings_.ras_library), share_(settings_.share_library) {
  if (settings_.load_share_at_once) share_.Load();
}

void LinkManager::TraceShareCount(const char* entry) {
  int32_t count = 0;
  uint32_t erc = share_.ShareCount(entry, linkshare::kCountQuery, &count, 0);
  if (Tracing(kTraceLevelOps)) TracePrint(kTrShareCount, static_cast<int>(erc), count);
}

uint32_t LinkManager::LockRas() {
  if (Tracing(kTraceLevelLock)) TracePrint("%s", kTrLockIn);
  uint32_t wait = 0;
  uint32_t erc = share_.LockRas(settings_.lock_wait_ms, &wait);
  if (erc == 0 && wait == linkshare::kWaitTimeout) erc = linkshare::kErrSemTimeout;
  if (erc != 0 && Tracing(kTraceLevelErrors))
    TracePrint(kTrLockError, static_cast<int>(erc), static_cast<int>(wait),
               static_cast<int>(settings_.lock_wait_ms));
  if (Tracing(kTraceLevelLock)) TracePrint("%s", kTrLockOut);
  return erc;
}

void LinkManager::UnlockRas() {
  uint32_t erc = share_.UnlockRas();
  if (erc != 0 && Tracing(kTraceLevelErrors)) TracePrint(kTrUnlockError, static_cast<int>(erc));
  if (Tracing(kTraceLevelLock)) TracePrint("%s", kTrUnlockOut);
}

HRASCONN LinkManager::FindRasConnection(const char* entry) {
  std::vector<RASCONNA> conns(kEnumEntries);
  conns[0].dwSize = sizeof(RASCONNA);
  uint32_t bytes = kEnumEntries * sizeof(RASCONNA);
  uint32_t count = 0;
  uint32_t erc = ras_.EnumConnections(conns.data(), &bytes, &count);
  if (erc == ras::kErrBufferTooSmall || erc == ras::kErrNotEnoughMemory) {
    size_t room = (static_cast<size_t>(bytes) + sizeof(RASCONNA) - 1) / sizeof(RASCONNA);
    conns.assign(std::max<size_t>(room, 1), RASCONNA{});
    conns[0].dwSize = sizeof(RASCONNA);
    bytes = static_cast<uint32_t>(conns.size() * sizeof(RASCONNA));
    erc = ras_.EnumConnections(conns.data(), &bytes, &count);
  }
  if (erc != 0) return 0;
  count = std::min<uint32_t>(count, static_cast<uint32_t>(conns.size()));
  for (uint32_t i = 0; i < count; ++i) {
    conns[i].szEntryName[sizeof conns[i].szEntryName - 1] = '\0';
    if (entry != nullptr && EqualsNoCase(conns[i].szEntryName, entry)) return conns[i].hrasconn;
  }
  return 0;
}

LinkManager::HangUpResult LinkManager::HangUpHandle(HRASCONN handle, uint32_t timeout_ms,
                                                    uint32_t poll_ms) {
  uint32_t hang_up = ras_.HangUp(handle);
  RASCONNSTATUSA status{};
  status.dwSize = sizeof status;
  uint32_t erc = ras_.GetConnectStatus(handle, &status);
  if (Tracing(kTraceLevelOps))
    TracePrint(kTrJustHungUp, handle, static_cast<int>(hang_up), static_cast<int>(erc));
  if (erc == ras::kErrInvalidHandle || timeout_ms == 0) return {hang_up, erc};
  uint32_t start = Tick();
  auto pause = std::chrono::milliseconds(std::max(poll_ms, kMinPollMs));
  while (true) {
    std::this_thread::sleep_for(pause);
    status.dwSize = sizeof status;
    erc = ras_.GetConnectStatus(handle, &status);
    if (erc == ras::kErrInvalidHandle) break;
    if (static_cast<uint32_t>(Tick() - start) >= timeout_ms) break;
  }
  if (erc != ras::kErrInvalidHandle && Tracing(kTraceLevelOps))
    TracePrint(kTrHangUpTimedOut, static_cast<int>(erc), handle, static_cast<int>(timeout_ms));
  return {hang_up, erc};
}

bool LinkManager::Open(const std::string& entry, std::string* error) {
  Result<HRASCONN> link = OpenConnection(entry.c_str());
  *error = link.error();
  return link.ok();
}

Result<HRASCONN> LinkManager::OpenConnection(const char* entry) {
  share_.Load();  // a deferred load is written before the operation's lines
  if (Tracing(kTraceLevelOps)) TracePrint(kTrOpenIn, TraceText(entry));
  TraceShareCount(entry);
  if (!ras_.Load()) return Fail(kErrNoRasLibrary);
  RASDIALPARAMSA params{};
  params.dwSize = sizeof params;
  if (entry != nullptr) CopyText(params.szEntryName, sizeof params.szEntryName, entry);
  int32_t has_password = 0;
  uint32_t erc = ras_.GetEntryDialParams(nullptr, &params, &has_password);
  if (Tracing(kTraceLevelOps))
    TracePrint(kTrEntryParams, static_cast<int>(erc), has_password, static_cast<int>(params.dwSize),
               params.szEntryName, params.szPhoneNumber, params.szUserName,
               Hidden(params.szPassword), params.szDomain);
  if ((erc == 0 || erc == ras::kErrCallNotImplemented) && settings_.override_credentials &&
      !settings_.user.empty()) {
    CopyText(params.szUserName, sizeof params.szUserName, settings_.user);
    CopyText(params.szPassword, sizeof params.szPassword, settings_.password);
    erc = 0;
  }
  if (Tracing(kTraceLevelOps))
    TracePrint(kTrUseParams, static_cast<int>(erc), params.szEntryName, params.szPhoneNumber,
               params.szUserName, Hidden(params.szPassword), params.szDomain);
  if (erc != 0) return Fail(kErrDialParams);
  if (LockRas() != 0) return Fail(kErrLockShare);
  HRASCONN result = 0;
  std::string error;
  for (int attempt = 0; attempt < kDialAttempts; ++attempt) {
    HRASCONN handle = 0;
    erc = ras_.Dial(&params, &handle);
    if (erc == 0) {
      result = handle;
      share_.AddRef(entry, false);
      break;
    }
    if (Tracing(kTraceLevelOps)) TracePrint(kTrDialFailed, static_cast<int>(erc), handle);
    RASCONNSTATUSA status{};
    if (handle != 0) {
      status.dwSize = sizeof status;
      uint32_t sc = ras_.GetConnectStatus(handle, &status);
      if (Tracing(kTraceLevelOps))
        TracePrint(kTrWillHangUp, static_cast<int>(sc), handle,
                   static_cast<int>(status.rasconnstate), static_cast<int>(status.dwError));
      HangUpHandle(handle, kFailedDialHangUpMs, 0);
    }
    HRASCONN existing = FindRasConnection(entry);
    if (existing == 0) {
      if (Tracing(kTraceLevelOps)) TracePrint("%s", kTrBailing);
      error = Format(kErrNoExisting, static_cast<int>(erc));
      break;
    }
    status = RASCONNSTATUSA{};
    status.dwSize = sizeof status;
    uint32_t sc = ras_.GetConnectStatus(existing, &status);
    if (Tracing(kTraceLevelOps))
      TracePrint(kTrFoundExisting, static_cast<int>(sc), existing,
                 static_cast<int>(status.rasconnstate), static_cast<int>(status.dwError));
    if (sc != 0) {
      char text[129] = {};
      if (ras_.GetErrorString(sc, text, 128) == 0)
        error = text;
      else
        error = Format(kErrRasNumber, static_cast<int>(sc));
      break;
    }
    if (status.rasconnstate == ras::kStateConnected) {
      result = existing;
      share_.AddRef(entry, true);
      break;
    }
    if (status.rasconnstate == ras::kStateDisconnected) {
      HangUpHandle(existing, kFailedDialHangUpMs, 0);
      continue;
    }
    error = Format(kErrExistingState, static_cast<int>(status.rasconnstate),
                   static_cast<int>(status.dwError));
    break;
  }
  int32_t count = 0;
  share_.ShareCount(entry, linkshare::kCountQuery, &count, 0);
  if (Tracing(kTraceLevelOps)) TracePrint(kTrOpenOut, TraceText(entry), result, count);
  UnlockRas();
  if (result == 0) return Fail(std::move(error));
  return result;
}

bool LinkManager::CloseConnection(const char* entry) {
  share_.Load();
  if (Tracing(kTraceLevelOps)) TracePrint(kTrCloseIn, TraceText(entry));
  TraceShareCount(entry);
  uint32_t lock = LockRas();
  int32_t hang_up = 0;
  share_.ReleaseRef(entry, &hang_up);
  bool ok = false;
  if (lock == 0) {
    ok = true;
    if (hang_up != 0) {
      HRASCONN handle = FindRasConnection(entry);
      if (handle != 0) {
        ok = HangUpHandle(handle, kCloseHangUpMs, kClosePollMs).hang_up == 0;
      }
    }
    UnlockRas();
  }
  if (Tracing(kTraceLevelOps))
    TracePrint(kTrCloseOut, ok ? 1 : 0, TraceText(entry), static_cast<int>(lock), hang_up);
  return ok;
}

bool LinkManager::IsConnectionActive(const char* entry) {
  HRASCONN handle = FindRasConnection(entry);
  uint32_t erc = 0;
  bool active = false;
  if (handle != 0) {
    RASCONNSTATUSA status{};
    status.dwSize = sizeof status;
    erc = ras_.GetConnectStatus(handle, &status);
    active = erc == 0 && status.rasconnstate == ras::kStateConnected;
  }
  if (Tracing(kTraceLevelOps))
    TracePrint(kTrActiveOut, active ? 1 : 0, TraceText(entry), handle, static_cast<int>(erc));
  return active;
}

}  // namespace qv::dialup

namespace qv {

std::unique_ptr<SystemDialupLink> MakeSystemDialupLink(const SYSTEMSTRUCT& system) {
  dialup::LinkSettings settings = dialup::LinkSettingsOf(system);
  settings.load_share_at_once = false;  // the program starts it once its trace is set up
  return std::make_unique<dialup::LinkManager>(std::move(settings));
}

}  // namespace qv
