#include "dialup/link_libraries.h"

#include <dlfcn.h>

#include <utility>

#include "common/trace.h"
#include "dialup/dialup_texts.h"
#include "platform/rasapi_client.h"

namespace qv::dialup {
namespace {

template <typename Fn>
bool Bind(void* library, const char* name, Fn* out) {
  *out = reinterpret_cast<Fn>(dlsym(library, name));
  return *out != nullptr;
}

void Trace(int level, const char* text) {
  if (TraceLevel() <= level) TracePrint("%s", text);
}

}  // namespace

void* OpenLibrary(const std::string& name) {
  return platform::OpenSystemLibrary(name);
}

// ---------------------------------------------------------------------------------------------

RasFunctions::RasFunctions(std::string library) : library_(std::move(library)) {}

RasFunctions::~RasFunctions() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (handle_ == nullptr) return;
  Trace(kTraceLevelOps, kTrFreeRas);
  dlclose(handle_);
  handle_ = nullptr;
}

bool RasFunctions::Load() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (handle_ != nullptr) return true;
  if (tried_) return false;
  tried_ = true;
  Trace(kTraceLevelOps, kTrLoadRas);
  void* lib = OpenLibrary(library_);
  if (lib == nullptr) {
    Trace(kTraceLevelErrors, kTrRasCannotLoad);
    return false;
  }
  bool all = Bind(lib, "RasDialA", &dial_) && Bind(lib, "RasHangUpA", &hang_up_) &&
             Bind(lib, "RasGetEntryDialParamsA", &dial_params_) &&
             Bind(lib, "RasEnumConnectionsA", &enum_connections_) &&
             Bind(lib, "RasGetConnectStatusA", &connect_status_) &&
             Bind(lib, "RasGetErrorStringA", &error_string_);
  if (!all) {
    Trace(kTraceLevelErrors, kTrRasMissing);
    dlclose(lib);
    dial_ = nullptr;
    hang_up_ = nullptr;
    dial_params_ = nullptr;
    enum_connections_ = nullptr;
    connect_status_ = nullptr;
    error_string_ = nullptr;
    return false;
  }
  handle_ = lib;
  return true;
}

uint32_t RasFunctions::Dial(RASDIALPARAMSA* params, HRASCONN* handle) {
  if (TraceLevel() <= kTraceLevelCalls) TracePrint("%s", kTrRasDial);
  uint32_t erc = Load() ? dial_(nullptr, nullptr, params, 0, nullptr, handle) : kErrModNotFound;
  if (TraceLevel() <= kTraceLevelCalls) TracePrint(kTrRasDialDone, static_cast<int>(erc));
  return erc;
}

uint32_t RasFunctions::HangUp(HRASCONN handle) {
  if (TraceLevel() <= kTraceLevelCalls) TracePrint(kTrRasHangUp, handle);
  return Load() ? hang_up_(handle) : kErrModNotFound;
}

uint32_t RasFunctions::GetEntryDialParams(const char* phonebook, RASDIALPARAMSA* params,
                                          int32_t* password_returned) {
  if (TraceLevel() <= kTraceLevelCalls) TracePrint(kTrRasDialParams, TraceText(phonebook));
  return Load() ? dial_params_(phonebook, params, password_returned) : kErrModNotFound;
}

uint32_t RasFunctions::EnumConnections(RASCONNA* connections, uint32_t* bytes, uint32_t* count) {
  if (TraceLevel() <= kTraceLevelCalls) TracePrint("%s", kTrRasEnum);
  return Load() ? enum_connections_(connections, bytes, count) : kErrModNotFound;
}

uint32_t RasFunctions::GetConnectStatus(HRASCONN handle, RASCONNSTATUSA* status) {
  if (TraceLevel() <= kTraceLevelCalls) TracePrint(kTrRasStatus, handle);
  return Load() ? connect_status_(handle, status) : kErrModNotFound;
}

uint32_t RasFunctions::GetErrorString(uint32_t error, char* text, uint32_t size) {
  if (TraceLevel() <= kTraceLevelCalls) TracePrint(kTrRasErrorString, static_cast<int>(error));
  return Load() ? error_string_(error, text, size) : kErrModNotFound;
}

// ---------------------------------------------------------------------------------------------

ShareFunctions::ShareFunctions(std::string library) : library_(std::move(library)) {}

bool ShareFunctions::Load() {
  std::call_once(load_, [this] { LoadOnce(); });
  return handle_ != nullptr;
}

void ShareFunctions::LoadOnce() {
  Trace(kTraceLevelOps, kTrLoadShare);
  void* lib = OpenLibrary(library_);
  if (lib == nullptr) {
    Trace(kTraceLevelErrors, kTrShareCannotLoad);
    return;
  }
  if (!Bind(lib, "BRS_LockRas", &lock_) || !Bind(lib, "BRS_UnlockRas", &unlock_) ||
      !Bind(lib, "BRS_AddRef", &add_ref_) || !Bind(lib, "BRS_ReleaseRef", &release_ref_) ||
      !Bind(lib, "BRS_ShareCount", &share_count_)) {
    Trace(kTraceLevelErrors, kTrShareMissing);
    dlclose(lib);
    lock_ = nullptr;
    unlock_ = nullptr;
    add_ref_ = nullptr;
    release_ref_ = nullptr;
    share_count_ = nullptr;
    return;
  }
  handle_ = lib;
}

ShareFunctions::~ShareFunctions() {
  if (handle_ == nullptr) return;
  Trace(kTraceLevelOps, kTrFreeShare);
  dlclose(handle_);
}

uint32_t ShareFunctions::LockRas(uint32_t wait_ms, uint32_t* wait_result) {
  return Load() ? lock_(wait_ms, wait_result) : kErrModNotFound;
}

uint32_t ShareFunctions::UnlockRas() {
  return Load() ? unlock_() : kErrModNotFound;
}

uint32_t ShareFunctions::AddRef(const char* entry, bool already_up) {
  return Load() ? add_ref_(entry, already_up ? 1 : 0) : kErrModNotFound;
}

uint32_t ShareFunctions::ReleaseRef(const char* entry, int32_t* hang_up) {
  return Load() ? release_ref_(entry, hang_up) : kErrModNotFound;
}

uint32_t ShareFunctions::ShareCount(const char* entry, uint32_t operation, int32_t* previous,
                                    int32_t value) {
  return Load() ? share_count_(entry, operation, previous, value) : kErrModNotFound;
}

}  // namespace qv::dialup
