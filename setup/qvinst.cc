// The exported functions of libqvinst.so, on the setup modules beside them.
#include "setup/qvinst.h"

#include <netdb.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "common/recordstore.h"
#include "platform/presence.h"
#include "platform/registry.h"
#include "setup/initial_records.h"
#include "setup/services.h"

using qv::setup::ServiceInfo;
using qv::setup::ServiceMode;

int _GetOsVersion(char* version) {
  bool managed = qv::setup::CurrentServiceMode() == ServiceMode::kSystemd;
  if (version != nullptr) std::strcpy(version, managed ? "WINNT40" : "WIN95");
  return managed ? 2 : 1;
}

int _DetectTCP(void) {
  const protoent* tcp = getprotobyname("tcp");
  return tcp != nullptr && tcp->p_proto == 6 ? 1 : 0;
}

int _CreateSystemKey(const char* key_path) {
  if (key_path == nullptr || *key_path == '\0') return 0;
  qv::reg::Key key;
  long rc = qv::reg::CreateKey(key_path, "", &key);
  qv::reg::CloseKey(&key);
  return rc == qv::reg::kSuccess ? 1 : 0;
}

int _HandleService(int mode, const char* program_path) {
  if (program_path == nullptr) return 0;
  ServiceMode service_mode = qv::setup::CurrentServiceMode();
  const ServiceInfo* info = qv::setup::ServiceByProgramPath(program_path, service_mode);
  if (info == nullptr) return 0;
  if (service_mode == ServiceMode::kSystemd)
    return qv::setup::InstallSystemdService(*info, program_path, mode == 2) ? 1 : 0;

  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  pid_t pid = 0;
  bool running = qv::platform::FindServiceWindow(info->name, &pid);
  if (mode != 2) return running ? static_cast<int>(pid) : 0;
  // The new program can take the presence lock only once the old one has let it go.
  if (running && !qv::setup::StopPresenceService(*info, 10000)) return 0;
  return qv::setup::StartHidden(program_path) ? 1 : 0;
}

int _CreateDataIndex(const char* key, int32_t value, const char* index_path) {
  if (key == nullptr || index_path == nullptr) return 0;
  // A file made for the entry counts as inserted; one that was there but empty does not.
  struct stat st {};
  bool was_empty = stat(index_path, &st) == 0 && st.st_size == 0;
  return qv::IndexInsert(key, value, index_path) && !was_empty ? 1 : 0;
}

int _CreateDemoUser(const char* domain, const char* install_dir, const char* config_dir) {
  if (domain == nullptr || install_dir == nullptr || config_dir == nullptr) return -1;
  return qv::setup::CreateInitialRecords(domain, install_dir, config_dir);
}

int _ListCountItems(void*, int) {
  return -1;
}

int _ListFocusItem(void*, int, char* text) {
  if (text != nullptr) text[0] = '\0';
  return -1;
}

int _LBClearAllSel(void*, int) {
  return -1;
}

void _SetDialogTitle(void*, const char*) {}

void _ShowDlgHelp(void*, const char*, int) {}

void _DestroyHelp(void*, const char*) {}
