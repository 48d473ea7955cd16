// The command lines of one connection, shared by the line protocols (SMTP, POP3, and the control
// and password services): input is gathered into lines that end with CR LF, every complete line
// of a read is handed on in order, a line that does not fit is answered with the protocol's own
// text and ends the connection, and every reply goes out through one writer that also logs it.
//
// A protocol derives from LineConnection and keeps only its own texts and rules:
//   - OnLine gets each line without its CR LF, after the line was logged ("-->", level 4).
//   - Raw input (SMTP's message data): while SetRawInput(true), input goes to OnRawInput
//     instead, which takes what it wants and says how much it took; what it leaves is split
//     into lines again once raw input is switched off.
//   - Pause stops handing on input while a reply is still being worked out or a long text is
//     being sent; input that arrives meanwhile is kept, and Resume hands it on in order. A paused
//     connection holding a line's worth of input holds the link's input, so that a peer sending
//     ahead is held back by the network, not by memory.
//   - Reply sends a text and logs it ("<--", level 4); Close ends the connection once the
//     replies are out. Nothing is handed on after Close.
//   - StartTls (after the reply to STARTTLS or STLS) switches the link to TLS: the rest of the
//     input, in this read or waiting, is discarded, never handed on inside TLS; input is handed
//     on again once the handshake is done, after OnSecured.
// A derived class may call Pause, Resume, SetRawInput, Reply and Close from inside OnLine and
// OnRawInput; Resume then lets the running loop go on instead of starting another.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/config.h"
#include "serve/service_frame.h"

namespace qv {

// The longest command line, its CR LF included. A line that would be longer is refused as soon
// as this many bytes wait without a line end.
constexpr size_t kCommandLineLimit = 2048;

class LineConnection : public ConnectionHandler {
 public:
  // Handles every complete line of the bytes and of what waited before them.
  void OnReceive(std::string_view bytes) final;
  void OnTlsStarted() final;

  bool closed() const { return closed_; }
  bool paused() const { return paused_; }

 protected:
  // `settings`: the process's settings (the log's folder and level among them), which must
  // outlive the connection; `log_prefix`: the transaction log's file prefix ("s", "p");
  // `line_too_long`: the reply to a line that does not fit, after which the connection is closed.
  LineConnection(ConnectionLink& link, const Settings& settings, std::string_view log_prefix,
                 std::string_view line_too_long);

  virtual void OnLine(std::string_view line) = 0;
  // Raw input while SetRawInput(true); returns how many bytes it took (all, unless the raw part
  // ends inside them).
  virtual size_t OnRawInput(std::string_view bytes) { return bytes.size(); }
  // How much of a received line the transaction log shows: all of it, unless it holds a secret
  // (a login's answer), which is shown as "********" from that length on.
  virtual size_t LoggedLength(std::string_view line) const { return line.size(); }
  // After the line-too-long reply was sent and logged, before the connection is closed.
  virtual void OnLineTooLong() {}
  // The TLS handshake StartTls began is done (or the implicit one of the listener), before input
  // is handed on again.
  virtual void OnSecured() {}

  // The one writer of replies: sends, and logs unless told not to.
  void Reply(std::string_view text, bool log = true);
  // A transaction log line of this connection.
  void Log(int level, const char* tag, std::string_view text);
  void Close();
  void SetRawInput(bool raw) { raw_ = raw; }
  bool raw_input() const { return raw_; }
  void Pause() { paused_ = true; }
  void Resume();
  // Switches to TLS (see above); false when the link cannot, and nothing changed.
  bool StartTls();
  // The link is in TLS.
  bool secure() const { return link_.Secure(); }

  ConnectionLink& link() { return link_; }
  const Settings& settings() const { return settings_; }

 private:
  // Logs a received line as LoggedLength says.
  void LogReceived(std::string_view line);
  // Hands on lines and raw input from `input` while not paused or closed; returns the bytes
  // used.
  size_t Process(std::string_view input);
  // Processes the kept input (unless a Process call is already running).
  void Drain();
  void UpdateHold();

  ConnectionLink& link_;
  const Settings& settings_;
  std::string log_prefix_;
  std::string line_too_long_;
  std::string input_;  // received and not yet handed on
  bool raw_ = false;
  bool paused_ = false;
  bool closed_ = false;
  bool processing_ = false;
  bool holding_ = false;    // the link's input is held
  bool switching_ = false;  // StartTls ran and the handshake is not done
};

}  // namespace qv
