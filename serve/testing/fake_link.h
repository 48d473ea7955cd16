// A ConnectionLink without a socket, for driving a connection handler byte by byte: it keeps
// what was sent, whether the handler closed, its idle limit and whether input is held. With
// `tls` set it may switch to TLS: StartTls marks the switch asked, and FinishTls stands for the
// handshake's end.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "serve/service_frame.h"

namespace qv::testing {

class FakeLink : public ConnectionLink {
 public:
  void Send(std::string_view bytes) override {
    if (!closed) sent.append(bytes);
  }
  void Close() override { closed = true; }
  int Number() const override { return 7; }
  void SetIdleLimit(std::chrono::milliseconds limit) override { idle_limit = limit; }
  void HoldInput(bool hold) override { held = hold; }
  bool CanStartTls() const override { return tls && !tls_asked; }
  bool StartTls() override {
    if (!CanStartTls()) return false;
    tls_asked = true;
    return true;
  }
  bool Secure() const override { return secure; }

  // The handshake is done: `handler` is told.
  void FinishTls(ConnectionHandler& handler) {
    secure = true;
    handler.OnTlsStarted();
  }

  // What was sent since the last call.
  std::string Take() {
    std::string out;
    out.swap(sent);
    return out;
  }

  std::string sent;
  bool closed = false;
  bool held = false;
  bool tls = false;        // the listener has a TLS context
  bool tls_asked = false;  // StartTls ran
  bool secure = false;     // the handshake is done
  std::chrono::milliseconds idle_limit{0};
};

}  // namespace qv::testing
