// The client side of a line protocol: one TCP connection to a host, on which lines are sent and
// lines read, alone or as a reply of several lines. What to send when, and which line ends a
// reply, belong to the protocol built on it (the SMTP client of the forwarder and qvsend, the
// POP3 client of the collection, the control client).
//
// Every wait is bounded by a time limit and ends early when the cancel descriptor becomes
// readable, so that a service that stops never waits on a silent peer. The limit applies to each
// wait for the peer, not to a whole reply: a peer that keeps sending keeps the read going, up to
// the size limit, which bounds the memory a peer can take.
//
// Not thread-safe: one thread uses a client at a time. Only the cancel descriptor may be written
// from another thread.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/tls_channel.h"
#include "platform/unique_fd.h"

namespace qv {

// The most bytes a line, or a reply read with ReadUntil, may hold unless the client is told
// otherwise: more is not a peer speaking the protocol.
constexpr size_t kLineClientMaxRead = 64 * 1024;

enum class ConnectResult { kConnected, kUnknownHost, kConnectFailed };

class LineClient {
 public:
  // Why the last send, read or connection attempt ended without its result.
  enum class Failure {
    kNone,
    kClosed,     // the peer closed the connection (or there is none)
    kTimeout,    // the peer stayed silent, or did not take data, for the time limit
    kCancelled,  // the cancel descriptor became readable
    kTooLong,    // more than the size limit arrived without the end looked for
    kBroken,     // the connection failed
  };

  explicit LineClient(int cancel_fd = -1, size_t max_read = kLineClientMaxRead)
      : cancel_fd_(cancel_fd), max_read_(max_read) {}
  ~LineClient() { Close(); }
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  // Looks the host up (a dotted address, else the system's host lookup) and creates the
  // socket, so that its number can be logged before the connection is tried.
  ConnectResult Open(const std::string& host, uint16_t port);
  // Connects the socket made by Open within `timeout_ms`. After kConnectFailed the socket stays
  // open until Close, so that the caller can still log its number.
  ConnectResult Connect(int timeout_ms);
  // Open and Connect.
  ConnectResult Connect(const std::string& host, uint16_t port, int timeout_ms);

  // Sends all of the data. False when the connection broke, the peer took nothing for
  // `timeout_ms`, or the wait was cancelled.
  bool Send(std::string_view data, int timeout_ms);
  // Sends the line followed by CR LF.
  bool SendLine(std::string_view line, int timeout_ms);

  // One line with its line end as received (LF, or CR LF). Empty when no whole line arrived:
  // failure() tells why. Bytes after the line are kept for the next read.
  std::string ReadLine(int timeout_ms);

  // Lines up to and including the first for which `last` is true (it sees each line with its
  // line end), joined as received. Empty when the reply did not arrive whole: failure() tells why.
  // Bytes after that line are kept for the next read.
  std::string ReadUntil(const std::function<bool(std::string_view line)>& last, int timeout_ms);

  // Runs the TLS handshake on the connected socket: right after Connect for a port that speaks
  // TLS from the first byte, or after the peer's reply to STARTTLS or STLS. From then on every
  // send and read goes through TLS. Bytes received in clear and not yet read are dropped first:
  // the peer sent them before the handshake, and they are never taken as part of the encrypted
  // conversation. With `verify` false a certificate that is not trusted is taken all the same.
  // On kFailed the connection is of no further use (failure() is set as for a read); on
  // kUntrusted nothing may be sent on it.
  TlsChannel::Outcome StartTls(const std::string& host, const TlsTrust& trust, bool verify,
                               int timeout_ms);
  // True once StartTls succeeded.
  bool secure() const { return secure_; }
  // Why the handshake failed or the certificate was refused; empty when it did not.
  std::string tls_error() const { return tls_ ? tls_->error() : std::string(); }

  // After a failed read the bytes already received are dropped: a connection on which a reply
  // failed is closed by its user, not read on.
  Failure failure() const { return failure_; }

  void Close();
  int fd() const { return fd_.get(); }

 private:
  enum class Wait { kReady, kTimeout, kCancelled };
  Wait WaitFor(short events, int timeout_ms);
  // Receives once into pending_ within the time limit; false (with failure_ set) when nothing came.
  bool Receive(int timeout_ms);
  bool Stop(Failure failure);
  // Failure of a TLS write or read, from the channel's reason.
  bool StopTls();

  platform::UniqueFd fd_;
  int cancel_fd_;
  size_t max_read_;
  Failure failure_ = Failure::kNone;
  sockaddr_in to_{};
  std::string pending_;
  std::unique_ptr<TlsChannel> tls_;  // made by StartTls
  bool secure_ = false;
};

}  // namespace qv
