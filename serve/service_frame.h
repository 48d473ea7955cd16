// The process frame shared by the services: presence lock, configuration load, the event loop,
// timers by id, the worker pool, the tray state and the stop signal, and one or more listeners.
// A listener is a listening socket with its own fixed table of connection slots, greeting, busy
// reply and factory of connection handlers; a service adds one listener per port it serves. The
// handlers see their connection only through ConnectionLink, so a protocol never touches a
// socket and can be driven byte by byte in tests.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/config.h"
#include "common/trace.h"
#include "common/version.h"
#include "platform/eventloop.h"
#include "serve/worker_pool.h"

namespace asio::ssl {
class context;
}

namespace qv {

// What a connection handler may do with its connection.
class ConnectionLink {
 public:
  // Queues bytes for the peer; they go out in order. A failed send ends the connection (and
  // destroys its handler) from the event loop, never from inside this call.
  virtual void Send(std::string_view bytes) = 0;
  // Ends the connection once everything queued is sent. No input is delivered afterwards.
  virtual void Close() = 0;
  // The socket number, as log lines show it.
  virtual int Number() const = 0;
  // OnIdle runs when no input arrived for this long; zero switches the check off. Restarts the
  // idle clock.
  virtual void SetIdleLimit(std::chrono::milliseconds limit) = 0;
  // True while nothing waits in the send queue and the connection is neither failed nor
  // closing: a handler that streams a large text sends its next piece only then, and is told
  // by OnDrained when the queue has emptied, so that it never holds more than a piece.
  virtual bool CanSendMore() const { return true; }
  // While held, the socket is not read and no input is delivered: a peer that sends ahead is
  // then held back by the network instead of by the handler's memory. Releasing it reads on.
  virtual void HoldInput(bool /*hold*/) {}
  // Whether the connection may switch to TLS: its listener has a TLS context and the connection
  // is not in TLS yet.
  virtual bool CanStartTls() const { return false; }
  // Switches the connection to TLS as the server (STARTTLS, STLS), after the replies sent so far
  // have gone out in clear. From here no input is read in clear, and input read but not yet
  // delivered is discarded; the handshake is bounded by kTlsHandshakeLimit and a failed one ends
  // the connection. Replies sent meanwhile go out inside TLS. OnTlsStarted follows the
  // handshake. False, with nothing changed, when CanStartTls() is false.
  virtual bool StartTls() { return false; }
  // The connection is in TLS (the handshake is done).
  virtual bool Secure() const { return false; }

 protected:
  ~ConnectionLink() = default;
};

// One connection's protocol, owned by its slot and destroyed when the slot is freed.
class ConnectionHandler {
 public:
  virtual ~ConnectionHandler() = default;
  // One read of at most the listener's read size.
  virtual void OnReceive(std::string_view bytes) = 0;
  virtual void OnIdle() = 0;
  // The bytes queued by Send have all gone to the socket (after the queue had to wait).
  virtual void OnDrained() {}
  // The TLS handshake that StartTls (or an implicit-TLS listener) began is done: input is read
  // again, inside TLS.
  virtual void OnTlsStarted() {}
};

// Connections the kernel may hold for a listener before they are accepted. A burst of more
// connections than this (25 clients at once, say) overflows the queue; with SYN cookies such a
// client believes itself connected while the server has forgotten it, and it waits for a
// greeting forever. So every listener's queue is larger than its slot table, whatever queue
// length the service was first written with.
constexpr int kListenBacklog = 64;

class Listener;

using HandlerFactory = std::function<std::unique_ptr<ConnectionHandler>(ConnectionLink& link,
                                                                        const std::string& peer)>;

// One port of a service.
struct ListenerSetup {
  std::string name;  // in the frame's messages, e.g. "SMTP" or "password"
  size_t slot_count = 25;
  size_t read_size = 1024;
  int backlog = kListenBacklog;  // keep it above slot_count (see kListenBacklog)
  // The port, asked after the configuration is loaded; 0 takes a free port.
  std::function<int()> port;
  // The local address to listen on (an IPv4 or IPv6 literal), asked with the port; empty or no
  // function: every IPv4 address. A start at which it is not an address literal is refused.
  std::function<std::string()> address;
  // Sent to every connection that gets a slot (not logged).
  std::function<std::string()> greeting;
  // Sent to a connection that finds every slot taken; the connection is then closed.
  std::function<std::string()> busy_reply;
  // Whether a connection from `peer` may have a free slot (null: every peer); one refused gets
  // the busy reply and is closed.
  std::function<bool(const std::string& peer)> admit;
  HandlerFactory make_handler;
  // Whether the listener is opened at start (null: always); an optional port a setting turns
  // off is not opened.
  std::function<bool()> enabled;
  // The TLS context its connections use (null, or a null context: no TLS). With implicit_tls
  // every connection starts with the handshake, before the greeting (SMTPS, POP3S); without, a
  // connection may switch with ConnectionLink::StartTls.
  std::function<std::shared_ptr<asio::ssl::context>()> tls;
  bool implicit_tls = false;
};

struct ServiceSetup {
  std::string window_class;              // presence lock name, e.g. "QuorvaneSmtp"
  std::string client_id;                 // trace client id, e.g. "qvsmtp95"
  std::string start_trace;               // trace line at start; "%x" takes the process id
  std::string exit_trace;                // trace line at the end
  long trace_level = kTraceLevelErrors;  // of start_trace and exit_trace: the service's own
  std::string tray_tip;

  // Runs after the frame has loaded the settings (settings()); may check or complete them.
  // False ends the start.
  std::function<bool()> load_config;
  // A listener that cannot be opened at start (the port is taken, say). True goes on without
  // it; false, or no function, ends the start with exit code 1, and so does a start at which no
  // listener opened.
  std::function<bool(const Listener& listener)> listen_failed;
  // A start refused for a setting (a listen address that is not one): the line to log. No
  // function: the transaction log (`log`) at level 1.
  std::function<void(std::string_view text)> start_refused;
  // After the listeners are up: timers are set here.
  std::function<void()> on_started;
  // The stop signal, before the loop ends.
  std::function<void()> on_stopping;
  // Threads of the worker pool (see Offload).
  size_t worker_threads = 8;
  // Every accept and every read, of any connection of any listener.
  std::function<void()> on_socket_event;
  // Activity not held in slots (runs of background work), added to the count for the tray.
  std::function<int()> extra_activity;
  // The service's transaction log (level, socket number, tag, text).
  std::function<void(int, int, const char*, std::string_view)> log;
};

class FrameConnection;
class ServiceFrame;

// A listening socket and its slot table. Made by ServiceFrame::AddListener and owned by the
// frame; it lives as long as the frame.
class Listener {
 public:
  Listener(ServiceFrame& frame, ListenerSetup setup);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // The listening socket on `address` (an IPv4 or IPv6 literal; empty: every IPv4 address);
  // port 0 takes a free port. False when the address is none, or the socket cannot be created,
  // bound or put into listen (the listener then stays closed).
  bool Listen(int port, std::string_view address = {});
  bool listening() const { return acceptor_ != nullptr; }
  int BoundPort() const;
  const std::string& name() const { return setup_.name; }
  // The port the service configured (asked at start), whatever became of it.
  int configured_port() const;
  // The address the service configured; empty: every IPv4 address.
  std::string configured_address() const;
  // Whether the service wants the listener opened (ListenerSetup::enabled).
  bool enabled() const { return !setup_.enabled || setup_.enabled(); }
  // Asks the listener's TLS context (ListenerSetup::tls) once, so that a check RequestTlsCheck
  // asked for happens now rather than at the next connection.
  void CheckTls() {
    if (setup_.tls) setup_.tls();
  }

  // The socket number held by slot `index`, or 0 when the slot is free.
  int SlotNumber(size_t index) const;
  size_t SlotsInUse() const;
  size_t slot_count() const { return slots_.size(); }

  // Frees every slot (their handlers are destroyed) and closes the listening socket.
  void CloseAll();

 private:
  friend class FrameConnection;
  void Accept();
  void OnAccepted(const std::error_code& ec, asio::ip::tcp::socket socket);
  void FreeSlot(size_t index);

  ServiceFrame& frame_;
  ListenerSetup setup_;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  asio::steady_timer accept_retry_;
  std::vector<std::shared_ptr<FrameConnection>> slots_;
};

class ServiceFrame {
 public:
  explicit ServiceFrame(ServiceSetup setup);
  ~ServiceFrame();
  ServiceFrame(const ServiceFrame&) = delete;
  ServiceFrame& operator=(const ServiceFrame&) = delete;

  // Adds a port to serve; Run opens it. Listeners are added before Run, never while it runs.
  Listener& AddListener(ListenerSetup setup);
  size_t listener_count() const { return listeners_.size(); }
  Listener& listener(size_t index) { return *listeners_.at(index); }

  // The settings of the process: loaded by Run (network facts and the three records) before
  // anything else reads them, and handed by reference to what needs them. Tests that drive the
  // frame without Run fill them in themselves.
  const Settings& settings() const { return settings_; }
  Settings& settings() { return settings_; }

  // The whole life of the service process: presence lock, settings, removal of the files of
  // interrupted message writes, listeners, trace, tray, loop until the stop signal. Returns the
  // exit code.
  int Run();

  // Ends the loop: what the stop signal does. Connections are freed when the loop has ended.
  void Stop();
  bool stopping() const { return stopping_; }
  // What SIGHUP does: every TLS context looks at its certificate and key files at once (a
  // renewal is taken, a broken one logged); the service goes on.
  void CheckTlsFiles();
  // Frees every slot of every listener and closes the listening sockets. Run calls it when the
  // loop has ended.
  void CloseAll();

  platform::EventLoop& loop() { return loop_; }

  // Runs `work` on the worker pool (started on first use) and `done` on the loop afterwards.
  void Offload(std::function<void()> work, std::function<void()> done);

  // Connections holding a slot of any listener plus other activity; the tray shows the busy
  // icon while above 0.
  int activity() const;
  void UpdateTrayIcon();

 private:
  friend class Listener;
  friend class FrameConnection;
  void SocketEvent();
  void Log(int level, int number, const char* tag, std::string_view text);
  // Checks every listener's address; false (logged) when one is not an address literal.
  bool ListenAddressesUsable();

  ServiceSetup setup_;
  Settings settings_;
  platform::EventLoop loop_;
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::unique_ptr<WorkerPool> workers_;
  bool stopping_ = false;
};

// Removes the hidden files that interrupted message writes left behind (see
// RemoveInterruptedWrites in common/mailfile.h) from the temporary folder and from every folder
// in the mail folder (the mailboxes and the forward queue); only files last changed before
// `before`. Returns how many were removed.
size_t SweepInterruptedWrites(const std::string& mail_path, const std::string& temp_path,
                              std::time_t before);

// The one local address the services listen on (ListenAddress of the common settings), as a
// listener's `address` takes it; empty: every IPv4 address.
std::string ListenAddress(const Settings& settings);

// Runs the console loader "<InstallPath>/qvrun"; its result is ignored.
void StartConsole(std::string_view install_path);

}  // namespace qv
