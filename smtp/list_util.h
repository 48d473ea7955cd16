// Small helpers shared by the list and responder code.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/records.h"

namespace qv::lists {

// printf-style formatting into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ASCII comparison without regard to case.
bool EqualsNoCase(std::string_view a, std::string_view b);

// A fixed record field as text.
template <size_t N>
std::string Str(const char (&field)[N]) {
  return std::string(FieldText(field));
}

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
