// Small helpers shared by the list and responder code.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/records.h"
#include "mail/mail_util.h"
#include "platform/unique_fd.h"

namespace qv::lists {

using mail::Str;

// An address split into local part and domain (SplitAddress).
struct Address {
  std::string local;
  std::string domain;
  std::string text() const { return local + "@" + domain; }
};
Address Split(std::string_view text);

// A plain text file kept open for appending lines during one operation (a list log or a
// responder log). Not opened: writes do nothing.
class AppendFile {
 public:
  AppendFile() = default;
  explicit AppendFile(const std::string& path) { Open(path); }
  // Opens the file at its end, creating it when missing.
  void Open(const std::string& path);
  bool is_open() const { return fd_.valid(); }
  void Write(std::string_view text);

 private:
  platform::UniqueFd fd_;
};

}  // namespace qv::lists
