// The field reader of the stream commands: fields end at "|", blanks at the start of a field
// are skipped, the line ends at its end or at the first CR, LF or NUL, a text longer than its
// field is cut to the field's width less one, numbers are decimal. Fields asked for past the
// last one are empty (or 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qv::control {

class StreamFields {
 public:
  explicit StreamFields(std::string_view line);

  // The next field as it stands (leading blanks skipped); empty once the line is used up.
  std::string_view Next();
  // The next field cut to `width` - 1 characters and copied, zero-filled, into `field`.
  void Text(char* field, size_t width);
  template <size_t N>
  void Text(char (&field)[N]) {
    Text(field, N);
  }
  // The next field as a decimal number: optional sign, digits; saturated to 32 bits.
  int32_t Number();
  // Skips one field.
  void Skip() { Next(); }
  // The text after the fields read so far (empty once the line is used up).
  std::string_view Rest() const;
  bool AtEnd() const { return done_; }

 private:
  std::string_view line_;
  size_t pos_ = 0;
  bool done_ = false;
};

// The decimal reading of the control protocol: leading blanks, an optional sign, digits up to
// the first other character, saturated to 32 bits; 0 without digits.
int32_t ReadDecimal(std::string_view text);

}  // namespace qv::control
