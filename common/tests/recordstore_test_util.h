// The fixture the record store's tests share: a fresh configuration folder and short ways to add
// and find users.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/table_env.h"

namespace qv::testing {

using Entries = std::vector<std::pair<std::string, int32_t>>;

inline std::string Bytes(const void* p, size_t n) {
  return std::string(static_cast<const char*>(p), n);
}

inline std::string UserBytes(const USERSTRUCT& u) {
  return Bytes(&u, sizeof u);
}

class RecordStoreTest : public ::testing::Test {
 protected:
  std::string Idx(const std::string& name = "t.idx") const { return tables_.File(name); }
  std::string UserDat() const { return tables_.File("user.dat"); }
  std::string UserIdx() const { return tables_.File("user.idx"); }

  int Add(const std::string& alias, const std::string& domain) {
    USERSTRUCT u = MakeUser(alias, domain);
    return AddRecord(tables_.system(), &u);
  }
  // Finds a user; "" when not found.
  std::string FoundDomain(const std::string& alias, const std::string& domain) {
    USERSTRUCT u;
    if (FindRecord(tables_.system(), alias, domain, &u) != 0) return "";
    return std::string(FieldText(u.Domain));
  }

  ScopedTables tables_;
};

}  // namespace qv::testing
