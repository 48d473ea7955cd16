// The system root of the benchmarks that drive a control service: a folder in /tmp named by
// QUORVANE_SYSTEM, the common key (the control and password ports, the folders, an installation
// folder without service programs, so that nothing but the control service runs) and a user
// table of `users` users, "admin@example.test" (password "pw", an administrator) first.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "bench/bench_util.h"
#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/service_keys.h"

namespace qv::bench {

struct ControlRoot {
  std::string root;
  int port = 0;           // the control service's
  int password_port = 0;  // the password service's
};

inline ControlRoot MakeControlRoot(const char* name, int users) {
  ControlRoot made;
  std::string pattern = std::string("/tmp/") + name + ".XXXXXX";
  made.root = mkdtemp(pattern.data());
  const std::string& root = made.root;
  setenv("QUORVANE_SYSTEM", root.c_str(), 1);
  for (const char* dir : {"/config", "/log", "/mail", "/temp", "/install"})
    std::filesystem::create_directories(root + dir);

  made.port = FreePort();
  made.password_port = FreePort();
  testing::WriteCommonKey({.domain = "example.test",
                           .install = root + "/install",
                           .mail = root + "/mail",
                           .temp = root + "/temp",
                           .log = root + "/log",
                           .config = root + "/config"});
  testing::ControlKey().Set("Port", made.port).Set("PasswordPort", made.password_port);

  SYSTEMSTRUCT tables{};
  CopyField(tables.ConfigPath, root + "/config");
  CopyField(tables.Domain, "example.test");
  USERSTRUCT admin{};
  CopyField(admin.Alias, "admin");
  CopyField(admin.Domain, "example.test");
  CopyField(admin.Password, "pw");
  admin.Options = kUserAdmin;
  AddRecord(tables, &admin);
  for (int i = 1; i < users; ++i) {
    USERSTRUCT user{};
    CopyField(user.Alias, "user" + std::to_string(i));
    CopyField(user.Domain, "example.test");
    CopyField(user.Password, "secret");
    CopyField(user.Name, "User number " + std::to_string(i));
    CopyField(user.CopyIncoming, "archive+" + std::to_string(i) + "@example.test");
    AddRecord(tables, &user);
  }
  return made;
}

}  // namespace qv::bench
