#include "mail/stored_form.h"

namespace qv::mail {

void StoredFormEncoder::Append(std::string_view text, std::string* out) {
  out->reserve(out->size() + text.size() + text.size() / 32 + 2);
  for (char c : text) {
    if (c == '\n' && !after_cr_) out->push_back('\r');
    if (stuff_dots_ && at_line_start_ && c == '.') out->push_back('.');
    out->push_back(c);
    after_cr_ = c == '\r';
    at_line_start_ = c == '\n';
  }
}

}  // namespace qv::mail
