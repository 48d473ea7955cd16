// A message fetched by the collection of remote POP3 accounts on its way into a temporary file:
// its lines as received, the sender found in its header and, for a shared account, its local
// recipients.
//
// Messages are stored as they arrive: lines that begin with a dot stay doubled, as in mail
// received by SMTP, and are sent unchanged by the POP3 service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace qv::pop3 {

// The longest reply or message line the client handles as one line; a longer line is taken in
// pieces of this size.
constexpr size_t kCollectLineMax = 4096;

// The most local recipients a shared account message is delivered to.
constexpr size_t kMaxFetchedRecipients = 100;

// ---- Addresses in header lines -----------------------------------------------------------------

// The address around the first "@" at or after `from`: bounded before by a blank, tab, "<", a
// quote, ";", "," or ":" and after by ";", ",", ">", a blank, tab, a quote, CR, LF or the end.
// Empty when no "@" follows. *next (when given) receives the position after the address.
std::string AddressAround(std::string_view line, size_t from = 0, size_t* next = nullptr);

// ---- Reception of one message -----------------------------------------------------------------

// A fetched message on its way into a temporary file in TempPath: lines are given one at a time
// as received (the status line of RETR is not one of them). Header lines give the sender (the
// "From:" field, with its continuation lines) and, for a shared account, the recipients: the
// first address of a "Received:" field that is not foreign, else the addresses of the "To:" and
// "Cc:" fields that are not foreign, each once (compared without regard to case), up to
// kMaxFetchedRecipients. Only the header is searched.
class FetchedMessage {
 public:
  // `is_local` tells whether an address is not foreign (ClassifyAddress); used for shared
  // accounts only. Without it no "Received:" address is taken and every "To:" and "Cc:" one is.
  using LocalTest = std::function<bool(std::string_view local, std::string_view domain)>;

  FetchedMessage(bool shared, LocalTest is_local);
  ~FetchedMessage();
  FetchedMessage(const FetchedMessage&) = delete;
  FetchedMessage& operator=(const FetchedMessage&) = delete;

  // Makes the temporary file in `temp_path` (or `mail_path` when that cannot be made) ready for
  // a new message: the file of a previous message is emptied and used again, else a new one is
  // created. False when no file can be had.
  bool Open(const std::string& temp_path, std::string_view mail_path);
  // Closes and deletes the temporary file and forgets the message (the destructor does it too).
  void Discard();

  // One received line with its line end (a line longer than kCollectLineMax is given in pieces:
  // the first and the following ones in order). Returns true while the message goes on, false
  // when this was its end line (not stored). Write errors are kept for Finish.
  bool AddLine(std::string_view line);

  // Writes what is buffered. False when the file could not be written.
  bool Finish();

  // Drops what was received (the file is emptied): later lines are only counted and looked at
  // for the end line, so that a refused message can be read to its end without being stored.
  void Drop();
  bool dropped() const { return dropped_; }

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  const std::string& sender() const { return sender_; }
  // The recipients of a shared account (empty: none found, or a personal account).
  std::vector<std::string> Recipients() const;
  // The "To:" and "Cc:" addresses left out: foreign ones, and local ones past the limit.
  size_t skipped_recipients() const { return skipped_; }
  // Bytes received so far, stored or not.
  uint64_t size() const { return size_; }

 private:
  enum class Field { kNone, kFrom, kReceived, kToCc };
  void HeaderLine(std::string_view line);
  bool Flush();
  // Forgets the message but keeps the file.
  void Forget();

  bool shared_;
  LocalTest is_local_;
  platform::UniqueFd fd_;
  std::string path_;
  std::string buffer_;
  bool failed_ = false;
  bool dropped_ = false;
  uint64_t size_ = 0;
  bool at_line_start_ = true;
  bool in_header_ = true;
  Field field_ = Field::kNone;  // the header field the current line belongs to
  std::string sender_;
  std::string received_;  // first local address of a Received field
  std::vector<std::string> to_cc_;
  size_t skipped_ = 0;
};

}  // namespace qv::pop3
