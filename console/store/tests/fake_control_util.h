// A control peer on a loopback port for the remote store's tests, in one of two modes:
// - scripted: it greets, then answers each line the client sends with what the test's handler
//   returns (nothing, a reply, or the end of the connection);
// - relay: it passes the bytes between the client and a real control service unchanged.
// Either way it keeps every line the client sent, in order, and the test can cut the
// connection at any moment. One client connection at a time.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qv::console::testing {

class FakeControlPeer {
 public:
  // The reply to a line (without its CR LF); nullopt closes the connection instead.
  using Handler = std::function<std::optional<std::string>(const std::string& line)>;

  static constexpr char kGreeting[] =
      "Quorvane Control Service (v1.00 Linux) for Windows 95 ready at now\r\nUsername: ";

  // A handler that takes the first two lines as the login (answering "Password: " and
  // "Login OK"), answers NOOP with its prompt and hands every other line to `after`.
  static Handler AfterLogin(Handler after);

  explicit FakeControlPeer(Handler handler);
  explicit FakeControlPeer(int upstream_port);
  ~FakeControlPeer();
  FakeControlPeer(const FakeControlPeer&) = delete;
  FakeControlPeer& operator=(const FakeControlPeer&) = delete;

  uint16_t port() const { return port_; }
  // Every line the client sent so far, without CR LF.
  std::vector<std::string> lines();
  // The lines that begin with `prefix`.
  std::vector<std::string> lines_starting(const std::string& prefix);
  // Closes the client's connection (and the upstream one).
  void Cut();
  // Waits (bounded) until the client has closed its connection; true when it did.
  bool WaitForClientClose(int timeout_ms = 5000);

 private:
  void Run();
  void Serve(int client);
  void Note(std::string* partial, const char* data, size_t size);

  Handler handler_;
  int upstream_port_ = 0;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> cut_{false};
  std::atomic<bool> client_closed_{false};
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::thread thread_;
};

}  // namespace qv::console::testing
