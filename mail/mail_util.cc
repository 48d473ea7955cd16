#include "mail/mail_util.h"

#include "common/address.h"
#include "common/recordstore.h"

namespace qv::mail {

std::vector<std::string> SplitAddressList(std::string_view text) {
  std::vector<std::string> items;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of(";, \t", pos);
    if (end == std::string_view::npos) end = text.size();
    if (end > pos) items.emplace_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return items;
}

bool FindUserByAddress(std::string_view address, USERSTRUCT* user) {
  std::string local, domain;
  SplitAddress(address, &local, &domain);
  if (local.empty()) return false;
  return FindRecord(local, domain, user) == 0;
}

}  // namespace qv::mail
