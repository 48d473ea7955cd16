#include "pop3/fetched_message.h"

#include <unistd.h>

#include <algorithm>

#include "common/address.h"
#include "common/mailfile.h"
#include "common/strings.h"
#include "platform/fileio.h"
#include "pop3/collect_texts.h"

namespace qv::pop3 {

// ---- Addresses ---------------------------------------------------------------------------------

std::string AddressAround(std::string_view line, size_t from, size_t* next) {
  size_t at = line.find('@', from);
  if (at == std::string_view::npos) {
    if (next != nullptr) *next = line.size();
    return {};
  }
  constexpr std::string_view kBefore = " \t<\";,:";
  constexpr std::string_view kAfter = ";,> \t\"\r\n";
  size_t start = at;
  while (start > from && kBefore.find(line[start - 1]) == std::string_view::npos) --start;
  size_t end = line.find_first_of(kAfter, at + 1);
  if (end == std::string_view::npos) end = line.size();
  if (next != nullptr) *next = end;
  return std::string(line.substr(start, end - start));
}

// ---- Reception ---------------------------------------------------------------------------------

namespace {

constexpr size_t kWriteBuffer = 64 * 1024;

bool SameAddress(const std::string& a, const std::string& b) {
  return EqualsNoCase(a, b);
}

}  // namespace

FetchedMessage::FetchedMessage(bool shared, LocalTest is_local)
    : shared_(shared), is_local_(std::move(is_local)) {}

FetchedMessage::~FetchedMessage() {
  Discard();
}

void FetchedMessage::Discard() {
  if (fd_.valid()) {
    fd_.Reset();
    ::unlink(path_.c_str());
  }
  path_.clear();
  Forget();
}

void FetchedMessage::Forget() {
  buffer_.clear();
  failed_ = false;
  dropped_ = false;
  size_ = 0;
  at_line_start_ = true;
  in_header_ = true;
  field_ = Field::kNone;
  sender_.clear();
  received_.clear();
  to_cc_.clear();
  skipped_ = 0;
}

bool FetchedMessage::Open(const std::string& temp_path, std::string_view mail_path) {
  if (fd_.valid()) {
    // The file of the previous message serves again: creating and deleting a file for every
    // message costs the file system more than emptying one.
    Forget();
    if (::ftruncate(fd_.get(), 0) == 0 && ::lseek(fd_.get(), 0, SEEK_SET) == 0) return true;
    Discard();
  }
  std::string directory = temp_path;
  std::string name;
  int fd = CreateTempFile(&directory, mail_path, &name);
  if (fd < 0) return false;
  fd_.Reset(fd);
  path_ = name;
  return true;
}

bool FetchedMessage::Flush() {
  if (buffer_.empty()) return !failed_;
  if (!failed_ && !platform::WriteAll(fd_.get(), buffer_.data(), buffer_.size())) failed_ = true;
  buffer_.clear();
  return !failed_;
}

bool FetchedMessage::AddLine(std::string_view line) {
  bool line_start = at_line_start_;
  bool whole = !line.empty() && line.back() == '\n';
  at_line_start_ = whole;
  if (line_start && line == kMessageEnd) return false;
  size_ += line.size();
  if (dropped_) return true;
  if (line_start && in_header_) {
    if (line == "\r\n" || line == "\n") {
      in_header_ = false;
    } else {
      HeaderLine(line);
    }
  }
  buffer_.append(line);
  if (buffer_.size() >= kWriteBuffer) Flush();
  return true;
}

bool FetchedMessage::Finish() {
  return Flush();
}

void FetchedMessage::Drop() {
  dropped_ = true;
  buffer_.clear();
  if (fd_.valid() && ::ftruncate(fd_.get(), 0) != 0) failed_ = true;
}

void FetchedMessage::HeaderLine(std::string_view line) {
  if (line[0] == ' ' || line[0] == '\t') {
    // A continuation line belongs to the field before it.
  } else if (StartsWithNoCase(line, "From:")) {
    field_ = Field::kFrom;
  } else if (StartsWithNoCase(line, "Received:")) {
    field_ = Field::kReceived;
  } else if (StartsWithNoCase(line, "To:") || StartsWithNoCase(line, "Cc:")) {
    field_ = Field::kToCc;
  } else {
    field_ = Field::kNone;
  }
  size_t from = 0;
  if (field_ != Field::kNone && line[0] != ' ' && line[0] != '\t') from = line.find(':') + 1;
  switch (field_) {
    case Field::kNone:
      break;
    case Field::kFrom:
      if (sender_.empty()) sender_ = AddressAround(line, from);
      break;
    case Field::kReceived: {
      if (!shared_ || !received_.empty()) break;
      std::string address = AddressAround(line, from);
      if (address.empty()) break;
      std::string local, domain;
      SplitAddress(address, &local, &domain);
      if (is_local_ && is_local_(local, domain)) received_ = address;
      break;
    }
    case Field::kToCc: {
      if (!shared_) break;
      size_t pos = from;
      while (pos < line.size()) {
        std::string address = AddressAround(line, pos, &pos);
        if (address.empty()) break;
        if (address.find('@') == 0 || address.back() == '@') continue;
        bool known = std::any_of(to_cc_.begin(), to_cc_.end(),
                                 [&](const std::string& a) { return SameAddress(a, address); });
        if (known) continue;
        std::string local, domain;
        SplitAddress(address, &local, &domain);
        if ((is_local_ && !is_local_(local, domain)) || to_cc_.size() >= kMaxFetchedRecipients) {
          ++skipped_;
          continue;
        }
        to_cc_.push_back(address);
      }
      break;
    }
  }
}

std::vector<std::string> FetchedMessage::Recipients() const {
  if (!shared_) return {};
  if (!received_.empty()) return {received_};
  return to_cc_;
}

}  // namespace qv::pop3
