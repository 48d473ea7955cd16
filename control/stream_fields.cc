#include "control/stream_fields.h"

#include <cstring>
#include <limits>

namespace qv::control {

int32_t ReadDecimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  constexpr int64_t kLimit = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kLimit) value = kLimit;
  }
  if (negative) return static_cast<int32_t>(-value);
  return static_cast<int32_t>(value >= kLimit ? kLimit - 1 : value);
}

StreamFields::StreamFields(std::string_view line) : line_(line) {
  size_t end = line_.find_first_of(std::string_view("\r\n\0", 3));
  if (end != std::string_view::npos) line_ = line_.substr(0, end);
}

std::string_view StreamFields::Next() {
  if (done_) return {};
  while (pos_ < line_.size() && line_[pos_] == ' ') ++pos_;
  size_t bar = line_.find('|', pos_);
  std::string_view field;
  if (bar == std::string_view::npos) {
    field = line_.substr(pos_);
    pos_ = line_.size();
    done_ = true;
  } else {
    field = line_.substr(pos_, bar - pos_);
    pos_ = bar + 1;
    if (pos_ == line_.size()) done_ = true;
  }
  return field;
}

void StreamFields::Text(char* field, size_t width) {
  if (width == 0) return;
  std::string_view value = Next();
  size_t n = value.size() < width ? value.size() : width - 1;
  if (n > 0) std::memcpy(field, value.data(), n);
  std::memset(field + n, 0, width - n);
}

int32_t StreamFields::Number() {
  return ReadDecimal(Next());
}

std::string_view StreamFields::Rest() const {
  return done_ ? std::string_view() : line_.substr(pos_);
}

}  // namespace qv::control
