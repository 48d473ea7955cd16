// MatchMask and MatchMaskList on arbitrary bytes: the first byte chooses where the mask ends and
// the text begins. Case never changes a result, and a one-item list agrees with the mask.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/address.h"

namespace {

std::string Fold(std::string_view text, bool upper) {
  std::string out(text);
  for (char& c : out) {
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t split = rest.empty() ? 0 : data[0] % (rest.size() + 1);
  std::string_view mask = rest.substr(0, split);
  std::string_view text = rest.substr(split);

  int result = qv::MatchMask(mask, text);
  if (result != 0 && result != 1) abort();
  if (qv::MatchMask(Fold(mask, true), Fold(text, false)) != result) abort();
  bool plain_item = !mask.empty() && mask.size() <= 255 &&
                    mask.find_first_of(std::string_view(";\0", 2)) == std::string_view::npos;
  if (plain_item && qv::MatchMaskList(text, mask) != (result == 0 ? 1 : 0)) abort();
  qv::MatchMaskList(mask, text);
  return 0;
}
