#include "common/dialup_link.h"

namespace qv {
namespace {

class NoDialup : public DialupLink {
 public:
  bool Open(const std::string&, std::string* error) override {
    *error = kNoDialupLayerText;
    return false;
  }
  bool Close(const std::string&) override { return true; }
  bool IsActive(const std::string&) override { return false; }
};

}  // namespace

DialupLink& NoDialupLink() {
  static NoDialup link;
  return link;
}

}  // namespace qv
