// Small helpers shared by the list and responder code.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/records.h"
#include "smtp/util.h"

namespace qv::lists {

using smtp::EqualsNoCase;
using smtp::Format;
using smtp::Str;

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
  ~AppendFile();
  // Opens the file at its end, creating it when missing.
  void Open(const std::string& path);
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  bool is_open() const { return fd_ >= 0; }
  void Write(std::string_view text);

 private:
  int fd_ = -1;
};

}  // namespace qv::lists
