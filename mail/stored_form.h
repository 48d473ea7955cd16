// The stored form of received mail: lines end in CR LF and a line that begins with "." carries a
// second "." (the SMTP transfer form). Delivery copies messages unchanged into mailbox and queue
// files, so texts that lists and responders compose are written in that form.
#pragma once

#include <string>
#include <string_view>

namespace qv::mail {

// Text brought into the stored form: a bare LF becomes CR LF and, with `stuff_dots`, a line that
// begins with "." gets a second ".". Pieces of one text go through one encoder in order (a CR
// LF or a line start may fall between two pieces).
class StoredFormEncoder {
 public:
  explicit StoredFormEncoder(bool stuff_dots) : stuff_dots_(stuff_dots) {}
  void Append(std::string_view text, std::string* out);

 private:
  bool stuff_dots_;
  bool at_line_start_ = true;
  bool after_cr_ = false;
};

}  // namespace qv::mail
