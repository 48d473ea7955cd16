#include "platform/rasapi_client.h"

#include <dlfcn.h>
#include <unistd.h>

namespace qv::platform {
namespace {

std::string ProgramFolder() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  std::string text(path, static_cast<size_t>(n));
  size_t slash = text.find_last_of('/');
  return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

}  // namespace

void* OpenSystemLibrary(const std::string& name) {
  if (name.empty()) return nullptr;
  if (name.find('/') != std::string::npos) return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  std::string folder = ProgramFolder();
  if (!folder.empty()) {
    if (void* lib = dlopen((folder + "/" + name).c_str(), RTLD_NOW | RTLD_LOCAL)) return lib;
  }
  return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

namespace ras {

std::vector<std::string> ListPhonebookEntries(const std::string& library) {
  std::vector<std::string> names;
  void* lib = OpenSystemLibrary(library);
  if (lib == nullptr) return names;
  auto enum_entries = reinterpret_cast<RasEnumEntriesFn>(dlsym(lib, "RasEnumEntriesA"));
  if (enum_entries != nullptr) {
    std::vector<RASENTRYNAMEA> entries(16);
    for (int attempt = 0; attempt < 2; ++attempt) {
      entries[0].dwSize = sizeof(RASENTRYNAMEA);
      uint32_t bytes = static_cast<uint32_t>(entries.size() * sizeof(RASENTRYNAMEA));
      uint32_t count = 0;
      uint32_t erc = enum_entries(nullptr, nullptr, entries.data(), &bytes, &count);
      if (erc == kErrBufferTooSmall) {
        entries.assign(bytes / sizeof(RASENTRYNAMEA) + 1, RASENTRYNAMEA{});
        continue;
      }
      if (erc == kOk) {
        for (uint32_t i = 0; i < count && i < entries.size(); ++i) {
          entries[i].szEntryName[sizeof entries[i].szEntryName - 1] = '\0';
          names.emplace_back(entries[i].szEntryName);
        }
      }
      break;
    }
  }
  dlclose(lib);
  return names;
}

}  // namespace ras
}  // namespace qv::platform
