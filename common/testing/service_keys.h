// The registry a service program reads at start, written by an end-to-end test or a benchmark
// into the system root it prepared: the common key (host, domain, installation, folders, log
// level) and the values of each service's own key.
#pragma once

#include <cstdint>
#include <string>

#include "common/config.h"
#include "platform/registry.h"

namespace qv::testing {

// One key, created when new, open for the scope: values are set one after the other, e.g.
// `SmtpKey().Set("PortEx", 2525).Set("ExchangeHost", "127.0.0.1");`.
class KeyWriter {
 public:
  KeyWriter(const char* path, const char* key_class) { reg::CreateKey(path, key_class, &key_); }
  ~KeyWriter() { reg::CloseKey(&key_); }
  KeyWriter(const KeyWriter&) = delete;
  KeyWriter& operator=(const KeyWriter&) = delete;

  KeyWriter& Set(const char* name, const std::string& text) {
    reg::SetString(&key_, name, text);
    return *this;
  }
  KeyWriter& Set(const char* name, const char* text) { return Set(name, std::string(text)); }
  KeyWriter& Set(const char* name, uint32_t value) {
    reg::SetDword(&key_, name, value);
    return *this;
  }
  KeyWriter& Set(const char* name, int value) { return Set(name, static_cast<uint32_t>(value)); }

 private:
  reg::Key key_;
};

inline KeyWriter ControlKey() {
  return KeyWriter(kControlKey, "QuorvaneControl");
}
inline KeyWriter SmtpKey() {
  return KeyWriter(kSmtpKey, "QuorvaneSmtp");
}
inline KeyWriter Pop3Key() {
  return KeyWriter(kPop3Key, "QuorvanePop3");
}

// The values of the common key every service reads; an empty text or a negative level is left
// out of the key.
struct CommonKey {
  std::string host = {};     // HostName
  std::string domain = {};   // Domain
  std::string install = {};  // InstallPath: the folder of the service programs
  std::string mail = {};     // MailPath
  std::string temp = {};     // TempPath
  std::string log = {};      // LogPath
  std::string config = {};   // ConfigPath
  int log_level = -1;        // LogLevel
};

// Writes the common key; a test adds values of its own by opening it again with ControlKey().
inline void WriteCommonKey(const CommonKey& values) {
  KeyWriter key = ControlKey();
  auto text = [&key](const char* name, const std::string& value) {
    if (!value.empty()) key.Set(name, value);
  };
  text("HostName", values.host);
  text("Domain", values.domain);
  text("InstallPath", values.install);
  text("MailPath", values.mail);
  text("TempPath", values.temp);
  text("LogPath", values.log);
  text("ConfigPath", values.config);
  if (values.log_level >= 0) key.Set("LogLevel", values.log_level);
}

}  // namespace qv::testing
