// Feeds the lines of the input to password sessions on a temporary user table; a new session
// starts whenever one closes.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "control/password_session.h"

namespace {

using namespace qv;

struct FuzzTables {
  FuzzTables() {
    char pattern[] = "/tmp/qvpwfuzz.XXXXXX";
    root = mkdtemp(pattern);
    CopyField(system.Domain, "example.test");
    CopyField(system.ConfigPath, root);
    USERSTRUCT user{};
    CopyField(user.Alias, "ann");
    CopyField(user.Domain, "example.test");
    CopyField(user.Password, "pw");
    AddRecord(system, &user);
  }
  ~FuzzTables() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  std::string root;
  SYSTEMSTRUCT system{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzTables tables;
  auto session = std::make_unique<control::PasswordSession>(tables.system);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    size_t end = input.find('\n');
    control::SessionReply reply = session->Dispatch(input.substr(0, end));
    if (reply.close) {
      USERSTRUCT user{};
      if (FindRecord(tables.system, "ann", "example.test", &user) == 0) {
        CopyField(user.Password, "pw");
        UpdateRecord(tables.system, user, false);
      }
      session = std::make_unique<control::PasswordSession>(tables.system);
    }
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  return 0;
}
