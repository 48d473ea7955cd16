// A dial-up link for tests: records every call ("open <entry>", "close <entry>",
// "active? <entry>") and answers as it is told.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/dialup_link.h"

namespace qv::testing {

class FakeDialup : public DialupLink {
 public:
  bool Open(const std::string& entry, std::string* error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("open " + entry);
    if (!open_succeeds) *error = open_error;
    return open_succeeds;
  }
  bool Close(const std::string& entry) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("close " + entry);
    return true;
  }
  bool IsActive(const std::string& entry) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("active? " + entry);
    return active;
  }

  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  int Count(const std::string& what) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& c : calls_) n += c.rfind(what, 0) == 0;
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
  }

  // Set before the calls.
  bool open_succeeds = true;
  std::string open_error = "line busy";
  bool active = false;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

}  // namespace qv::testing
