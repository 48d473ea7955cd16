// Test helpers for the directory tables: a settings value with a temporary configuration
// directory, record builders and a look at the raw index file.
#pragma once

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/test_env.h"
#include "platform/fileio.h"
#include "platform/registry.h"

namespace qv::testing {

// A settings value whose paths point at a fresh directory ("config" and "mail" below it) for the
// scope, with the given local domains (the first one is also the NT domain).
class ScopedTables {
 public:
  explicit ScopedTables(const std::string& domains = "example.com;example.org") {
    CopyField(settings_.system.ConfigPath, dir_.Sub("config"));
    CopyField(settings_.system.MailPath, dir_.Sub("mail"));
    CopyField(settings_.system.Domain, domains);
    std::string d = domains.substr(0, domains.find(';'));
    CopyField(settings_.system.NTDomain, d);
    MakeDir(config());
    MakeDir(mail());
  }
  std::string config() const { return dir_.Sub("config"); }
  std::string mail() const { return dir_.Sub("mail"); }
  std::string root() const { return dir_.path(); }
  std::string File(const std::string& name) const { return config() + "/" + name; }

  Settings& settings() { return settings_; }
  const Settings& settings() const { return settings_; }
  SYSTEMSTRUCT& system() { return settings_.system; }
  const SYSTEMSTRUCT& system() const { return settings_.system; }

 private:
  static void MakeDir(const std::string& path) { ::mkdir(path.c_str(), 0755); }
  TempDir dir_;
  Settings settings_;
};

inline USERSTRUCT MakeUser(const std::string& alias, const std::string& domain,
                           const std::string& password = "", const std::string& mailbox = "") {
  USERSTRUCT u{};
  CopyField(u.Alias, alias);
  CopyField(u.Domain, domain);
  CopyField(u.Password, password);
  CopyField(u.Mailbox, mailbox);
  return u;
}

// The entries of an index file as (key, offset) pairs; a partial last entry is left out.
inline std::vector<std::pair<std::string, int32_t>> ReadIndexEntries(const std::string& path) {
  std::string bytes = ReadFileText(path);
  std::vector<std::pair<std::string, int32_t>> out;
  for (size_t at = 0; at + sizeof(IndexEntry) <= bytes.size(); at += sizeof(IndexEntry)) {
    IndexEntry e;
    std::memcpy(&e, bytes.data() + at, sizeof e);
    out.emplace_back(std::string(FieldText(e.Key)), e.Offset);
  }
  return out;
}

// Writes the control key with Domain and ConfigPath (and MailPath) into the registry of the
// current system root, as the setup does.
inline void WriteControlKey(const std::string& domain, const std::string& config_path,
                            const std::string& mail_path = "") {
  reg::Key key;
  reg::CreateKey(kControlKey, "QuorvaneControl", &key);
  reg::SetString(&key, "Domain", domain);
  reg::SetString(&key, "ConfigPath", config_path);
  if (!mail_path.empty()) reg::SetString(&key, "MailPath", mail_path);
  reg::CloseKey(&key);
}

// A system root whose registry names a fresh table directory, for running the table utilities as
// real processes.
class ToolEnv {
 public:
  explicit ToolEnv(const std::string& domains = "example.com;example.org") : tables_(domains) {
    WriteControlKey(domains, tables_.config(), tables_.mail());
  }
  const ScopedTables& tables() const { return tables_; }
  std::string config() const { return tables_.config(); }
  const SYSTEMSTRUCT& system() const { return tables_.system(); }

  // Runs a program of the build; `banner` is the first banner line it must print, followed by
  // the build line and an empty line, which are taken off the output.
  RunResult Run(const std::string& program, const std::vector<std::string>& args,
                const std::string& banner) const {
    RunResult r = RunProgram(BinDir() + "/" + program, args);
    std::string first = banner + "\n";
    if (r.out.compare(0, first.size(), first) != 0) {
      r.out = "<banner missing>" + r.out;
      return r;
    }
    size_t second = r.out.find('\n', first.size());
    if (second == std::string::npos || r.out.compare(second, 2, "\n\n") != 0) {
      r.out = "<banner missing>" + r.out;
      return r;
    }
    r.out.erase(0, second + 2);
    return r;
  }

 private:
  ScopedSystemRoot root_;
  ScopedTables tables_;
};

}  // namespace qv::testing
