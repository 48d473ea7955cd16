// The temporary system of an SMTP session fuzz target: a root with its configuration, mail and
// temporary folders (removed at exit), named by QUORVANE_SYSTEM, and settings pointing at them
// with the log off. The target adds its domains and records.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/config.h"
#include "common/records.h"

namespace qv::smtp::fuzz {

inline std::string& FuzzRoot() {
  static std::string root;
  return root;
}

inline void PrepareFuzzRoot(Settings& settings) {
  char pattern[] = "/tmp/qvfuzz.XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  FuzzRoot() = pattern;
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(FuzzRoot(), ec);
  });
  const std::string& root = FuzzRoot();
  setenv("QUORVANE_SYSTEM", root.c_str(), 1);
  for (const char* folder : {"/config", "/mail", "/temp"})
    std::filesystem::create_directories(root + folder);
  CopyField(settings.system.ConfigPath, root + "/config");
  CopyField(settings.system.MailPath, root + "/mail");
  CopyField(settings.system.TempPath, root + "/temp");
  CopyField(settings.system.LogPath, root + "/log");
  settings.system.LogLevel = -1;  // no log files
}

}  // namespace qv::smtp::fuzz
