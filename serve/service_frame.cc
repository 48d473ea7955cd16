#include "serve/service_frame.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/ssl/context.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/write.hpp>
#include <cstdio>
#include <utility>

#include "common/config.h"
#include "common/mailfile.h"
#include "common/maillog.h"
#include "common/records.h"
#include "common/settings_table.h"
#include "common/strings.h"
#include "common/trace.h"
#include "platform/debugout.h"
#include "platform/presence.h"
#include "platform/spawn.h"
#include "platform/tray.h"
#include "serve/tls.h"

namespace qv {
namespace {

// Log texts of the frame itself.
constexpr char kLogAcceptFailed[] = "Cannot accept connection; %s\r\n";
constexpr char kLogAllSlotsTaken[] = "Connection from %s refused; all %zu slots are taken\r\n";
constexpr char kLogPeerRefused[] =
    "Connection from %s refused; that address holds its share of the slots\r\n";
constexpr char kLogInterruptedWrites[] = "Removed %zu unfinished message files\r\n";
constexpr char kLogBadListenAddress[] =
    "Not started: ListenAddress '%s' is not an IPv4 or IPv6 address\r\n";
constexpr char kLogTlsFailed[] = "TLS handshake with %s failed; %s\r\n";

// A failed accept (no descriptors left, for example) is retried after this pause, so that the
// listener neither spins nor stops listening.
constexpr std::chrono::milliseconds kAcceptRetry{100};

// The longest wait for the peer's part of the closing exchange of TLS.
constexpr std::chrono::seconds kTlsCloseLimit{2};

// The hidden file of a message write younger than this may belong to a write still under way in
// another service; it is left alone.
constexpr std::chrono::minutes kInterruptedWriteAge{1};

}  // namespace

// One accepted connection: its socket, the queue of bytes to send, the idle clock and the
// handler. Shared with the pending socket operations, so that a completion arriving after the
// slot was freed finds a live (closed) object.
class FrameConnection final : public ConnectionLink,
                              public std::enable_shared_from_this<FrameConnection> {
 public:
  FrameConnection(Listener& listener, asio::ip::tcp::socket socket, size_t slot)
      : frame_(listener.frame_),
        listener_(listener),
        socket_(std::move(socket)),
        number_(static_cast<int>(socket_.native_handle())),
        slot_(slot),
        idle_timer_(frame_.loop().context()),
        handshake_timer_(frame_.loop().context()),
        buffer_size_(listener.setup_.read_size),
        // Left unfilled: only the bytes a read delivers are ever looked at.
        buffer_(std::make_unique_for_overwrite<char[]>(buffer_size_)) {
    std::error_code ec;
    socket_.non_blocking(true, ec);
    if (listener.setup_.implicit_tls && listener.setup_.tls) {
      // The handshake comes first; the greeting waits for it (Start).
      tls_context_ = listener.setup_.tls();
      tls_switch_ = tls_context_ != nullptr;
    }
  }

  void SetHandler(std::unique_ptr<ConnectionHandler> handler) { handler_ = std::move(handler); }
  bool finished() const { return finished_; }

  void Send(std::string_view bytes) override {
    if (finished_ || failed_ || close_requested_ || bytes.empty()) return;
    if (tls_switch_) {
      // Goes out inside TLS, once the handshake is done.
      after_tls_.append(bytes.data(), bytes.size());
      return;
    }
    if (!tls_ && !writing_ && pending_.empty()) {
      // Try at once: a short reply is then in the kernel before this call returns.
      std::error_code ec;
      size_t n = socket_.write_some(asio::buffer(bytes.data(), bytes.size()), ec);
      if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
        failed_ = true;
        frame_.loop().Post([self = shared_from_this()] { self->Finish(); });
        return;
      }
      if (ec) n = 0;
      bytes.remove_prefix(n);
      if (bytes.empty()) return;
    }
    pending_.append(bytes.data(), bytes.size());
    if (!writing_) StartWrite();
  }

  void Close() override {
    if (finished_ || close_requested_) return;
    close_requested_ = true;
    if (!writing_ && pending_.empty() && !in_handler_)
      frame_.loop().Post([self = shared_from_this()] { self->Closed(); });
  }

  int Number() const override { return number_; }

  bool CanSendMore() const override {
    return !finished_ && !failed_ && !close_requested_ && !writing_ && pending_.empty();
  }

  void SetIdleLimit(std::chrono::milliseconds limit) override {
    idle_limit_ = limit;
    ArmIdle();
  }

  void HoldInput(bool hold) override {
    input_held_ = hold;
    if (!hold && !reading_) StartRead();
  }

  bool CanStartTls() const override {
    return !tls_ && !tls_switch_ && listener_.setup_.tls && listener_.setup_.tls() != nullptr;
  }

  bool StartTls() override {
    if (finished_ || failed_ || close_requested_ || !CanStartTls()) return false;
    tls_context_ = listener_.setup_.tls();
    tls_switch_ = true;
    StartHandshake();
    return true;
  }

  bool Secure() const override { return tls_ && !tls_switch_; }

  void Start() {
    ArmIdle();
    if (tls_switch_)
      StartHandshake();
    else
      StartRead();
  }

  // Frees the slot: closes the socket and destroys the handler. Never called from inside a
  // handler's own call.
  void Finish() {
    if (finished_) return;
    finished_ = true;
    ++idle_generation_;
    std::error_code ec;
    idle_timer_.cancel();
    handshake_timer_.cancel();
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    handler_.reset();
    listener_.FreeSlot(slot_);
  }

 private:
  // reading_ stays set from here until OnRead has decided whether to read on.
  void StartRead() {
    if (finished_ || close_requested_ || failed_ || tls_switch_) return;
    reading_ = true;
    read_pending_ = true;
    auto done = [self = shared_from_this()](const std::error_code& ec, size_t n) {
      self->OnRead(ec, n);
    };
    if (tls_)
      tls_->async_read_some(asio::buffer(buffer_.get(), buffer_size_), std::move(done));
    else
      socket_.async_read_some(asio::buffer(buffer_.get(), buffer_size_), std::move(done));
  }

  void OnRead(const std::error_code& ec, size_t n) {
    read_pending_ = false;
    if (finished_) return;
    if (tls_closing_) {
      // Called off for the closing exchange.
      ShutdownTls();
      return;
    }
    if (tls_switch_ && !tls_) {
      // Called off by StartTls, or read before it: nothing read in clear is delivered.
      reading_ = false;
      StartHandshake();
      return;
    }
    frame_.SocketEvent();
    if (ec || n == 0 || failed_) {
      Finish();
      return;
    }
    ArmIdle();
    in_handler_ = true;
    handler_->OnReceive(std::string_view(buffer_.get(), n));
    in_handler_ = false;
    reading_ = false;
    if (close_requested_ || failed_) {
      if (failed_)
        Finish();
      else if (!writing_)
        Closed();
      return;
    }
    if (!input_held_) StartRead();
  }

  void StartWrite() {
    writing_ = true;
    in_flight_.swap(pending_);
    pending_.clear();
    auto done = [self = shared_from_this()](const std::error_code& ec, size_t) {
      self->OnWritten(ec);
    };
    if (tls_)
      asio::async_write(*tls_, asio::buffer(in_flight_), std::move(done));
    else
      asio::async_write(socket_, asio::buffer(in_flight_), std::move(done));
  }

  // The handler closed and every reply is out: inside TLS the closing exchange comes first, so
  // that the peer sees the end of the replies, not a cut connection.
  void Closed() {
    if (finished_) return;
    if (failed_ || !tls_ || tls_switch_) return Finish();
    if (tls_closing_) return;
    tls_closing_ = true;
    handshake_timer_.expires_after(kTlsCloseLimit);
    handshake_timer_.async_wait([self = shared_from_this()](const std::error_code& e) {
      if (!e) self->Finish();
    });
    std::error_code ec;
    if (read_pending_)
      socket_.cancel(ec);  // OnRead goes on once the read is called off
    else
      ShutdownTls();
  }

  void ShutdownTls() {
    if (finished_) return;
    tls_->async_shutdown([self = shared_from_this()](const std::error_code&) { self->Finish(); });
  }

  // The switch to TLS, once nothing is read or written in clear any more: the handshake,
  // bounded by kTlsHandshakeLimit.
  void StartHandshake() {
    if (!tls_switch_ || tls_ || writing_ || !pending_.empty() || finished_ || failed_) return;
    if (read_pending_) {
      // A read waiting on the clear socket is called off (nothing else is under way on it now);
      // what it may have read was sent before the reply that starts TLS, and is dropped.
      std::error_code ec;
      socket_.cancel(ec);
      return;  // OnRead comes back here
    }
    tls_ = std::make_unique<TlsStream>(socket_, *tls_context_);
    handshake_timer_.expires_after(kTlsHandshakeLimit);
    handshake_timer_.async_wait([self = shared_from_this()](const std::error_code& e) {
      if (e || self->finished_ || !self->tls_switch_) return;
      self->Finish();
    });
    tls_->async_handshake(
        asio::ssl::stream_base::server,
        [self = shared_from_this()](const std::error_code& ec) { self->OnHandshake(ec); });
  }

  void OnHandshake(const std::error_code& ec) {
    if (finished_) return;
    handshake_timer_.cancel();
    frame_.SocketEvent();
    if (ec) {
      std::error_code peer_ec;
      std::string peer = socket_.remote_endpoint(peer_ec).address().to_string();
      char text[512];
      std::snprintf(text, sizeof text, kLogTlsFailed, peer.c_str(), ec.message().c_str());
      frame_.Log(kLogLevelFailure, number_, kLogEvent, text);
      Finish();
      return;
    }
    tls_switch_ = false;
    ArmIdle();
    pending_.swap(after_tls_);
    after_tls_.clear();
    if (!pending_.empty() && !writing_) StartWrite();
    in_handler_ = true;
    handler_->OnTlsStarted();
    in_handler_ = false;
    if (failed_) {
      Finish();
      return;
    }
    if (close_requested_) {
      if (!writing_) Closed();
      return;
    }
    if (!input_held_ && !reading_) StartRead();
  }

  void OnWritten(const std::error_code& ec) {
    writing_ = false;
    in_flight_.clear();
    if (finished_) return;
    if (ec) {
      Finish();
      return;
    }
    if (!pending_.empty()) {
      StartWrite();
    } else if (close_requested_) {
      if (!in_handler_) Closed();
    } else if (tls_switch_) {
      StartHandshake();
    } else if (!in_handler_) {
      in_handler_ = true;
      handler_->OnDrained();
      in_handler_ = false;
      if (failed_)
        Finish();
      else if (close_requested_ && !writing_)
        Closed();
    }
  }

  void ArmIdle() {
    unsigned generation = ++idle_generation_;
    std::error_code ec;
    idle_timer_.cancel();
    if (idle_limit_.count() <= 0 || finished_) return;
    idle_timer_.expires_after(idle_limit_);
    idle_timer_.async_wait([self = shared_from_this(), generation](const std::error_code& e) {
      if (e || self->finished_ || generation != self->idle_generation_) return;
      self->in_handler_ = true;
      self->handler_->OnIdle();
      self->in_handler_ = false;
      if (self->close_requested_ && !self->writing_) self->Closed();
    });
  }

  using TlsStream = asio::ssl::stream<asio::ip::tcp::socket&>;

  ServiceFrame& frame_;
  Listener& listener_;
  asio::ip::tcp::socket socket_;
  int number_;
  size_t slot_;
  asio::steady_timer idle_timer_;
  asio::steady_timer handshake_timer_;
  size_t buffer_size_;
  std::unique_ptr<char[]> buffer_;
  std::unique_ptr<ConnectionHandler> handler_;
  std::string pending_;
  std::string in_flight_;
  std::chrono::milliseconds idle_limit_{0};
  unsigned idle_generation_ = 0;
  bool writing_ = false;
  bool close_requested_ = false;
  bool finished_ = false;
  bool failed_ = false;
  bool in_handler_ = false;
  bool reading_ = false;       // a read is outstanding or being handled
  bool input_held_ = false;    // HoldInput: no read until released
  bool read_pending_ = false;  // a read is outstanding on the socket
  // TLS: the context, the stream over the socket once the switch began, and the replies sent
  // while the switch is under way (tls_switch_: from StartTls to the end of the handshake).
  std::shared_ptr<asio::ssl::context> tls_context_;
  std::unique_ptr<TlsStream> tls_;
  std::string after_tls_;
  bool tls_switch_ = false;
  bool tls_closing_ = false;  // the closing exchange of TLS is under way
};

Listener::Listener(ServiceFrame& frame, ListenerSetup setup)
    : frame_(frame),
      setup_(std::move(setup)),
      accept_retry_(frame.loop().context()),
      slots_(setup_.slot_count) {}

Listener::~Listener() {
  CloseAll();
}

bool Listener::Listen(int port, std::string_view address) {
  if (port < 0 || port > 65535) return false;
  asio::ip::address ip = asio::ip::address_v4::any();
  if (!address.empty()) {
    std::error_code ec;
    if (!IsAddressLiteral(address)) return false;
    ip = asio::ip::make_address(std::string(address), ec);
    if (ec) return false;
  }
  auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(frame_.loop().context());
  asio::ip::tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
  // Close-on-exec from the start, with address reuse (see platform/eventloop.h).
  if (platform::OpenListener(*acceptor, endpoint, setup_.backlog)) return false;
  acceptor_ = std::move(acceptor);
  Accept();
  return true;
}

int Listener::BoundPort() const {
  if (!acceptor_) return 0;
  std::error_code ec;
  auto endpoint = acceptor_->local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

int Listener::configured_port() const {
  return setup_.port ? setup_.port() : 0;
}

std::string Listener::configured_address() const {
  return setup_.address ? setup_.address() : std::string();
}

void Listener::Accept() {
  if (!acceptor_ || frame_.stopping()) return;
  platform::AsyncAccept(*acceptor_,
                        [this](const std::error_code& ec, asio::ip::tcp::socket socket) {
                          OnAccepted(ec, std::move(socket));
                        });
}

void Listener::OnAccepted(const std::error_code& ec, asio::ip::tcp::socket socket) {
  if (frame_.stopping() || ec == asio::error::operation_aborted) return;
  frame_.SocketEvent();
  if (ec) {
    char text[256];
    std::snprintf(text, sizeof text, kLogAcceptFailed, ec.message().c_str());
    frame_.Log(kLogLevelFailure, 0, kLogEvent, text);
    frame_.UpdateTrayIcon();
    accept_retry_.expires_after(kAcceptRetry);
    accept_retry_.async_wait([this](const std::error_code& e) {
      if (!e) Accept();
    });
    return;
  }
  std::error_code peer_ec;
  std::string peer = socket.remote_endpoint(peer_ec).address().to_string();
  if (peer_ec) peer.clear();

  // The first free slot from the lowest index.
  size_t index = 0;
  while (index < slots_.size() && slots_[index]) ++index;
  bool full = index == slots_.size();
  if (full || (setup_.admit && !setup_.admit(peer))) {
    // On an implicit-TLS port nothing is ever sent in clear: the client, already in its
    // handshake, only sees the connection closed.
    std::string reply = setup_.busy_reply && !setup_.implicit_tls ? setup_.busy_reply() : "";
    std::error_code wec;
    if (!reply.empty()) asio::write(socket, asio::buffer(reply), wec);
    char text[256];
    if (full)
      std::snprintf(text, sizeof text, kLogAllSlotsTaken, peer.c_str(), slots_.size());
    else
      std::snprintf(text, sizeof text, kLogPeerRefused, peer.c_str());
    frame_.Log(kLogLevelMail, static_cast<int>(socket.native_handle()), kLogEvent, text);
    socket.shutdown(asio::ip::tcp::socket::shutdown_both, wec);
    socket.close(wec);
    Accept();
    return;
  }

  auto connection = std::make_shared<FrameConnection>(*this, std::move(socket), index);
  slots_[index] = connection;
  connection->SetHandler(setup_.make_handler(*connection, peer));
  frame_.UpdateTrayIcon();
  if (setup_.greeting) connection->Send(setup_.greeting());
  if (!connection->finished()) connection->Start();
  Accept();
}

void Listener::FreeSlot(size_t index) {
  if (index >= slots_.size()) return;
  slots_[index].reset();
  frame_.UpdateTrayIcon();
}

void Listener::CloseAll() {
  for (auto& slot : slots_) {
    if (slot) {
      auto connection = slot;
      connection->Finish();
    }
  }
  if (acceptor_) {
    std::error_code ec;
    acceptor_->close(ec);
    acceptor_.reset();
  }
  accept_retry_.cancel();
}

int Listener::SlotNumber(size_t index) const {
  if (index >= slots_.size() || !slots_[index]) return 0;
  return slots_[index]->Number();
}

size_t Listener::SlotsInUse() const {
  size_t n = 0;
  for (const auto& slot : slots_)
    if (slot) ++n;
  return n;
}

ServiceFrame::ServiceFrame(ServiceSetup setup) : setup_(std::move(setup)) {}

ServiceFrame::~ServiceFrame() {
  workers_.reset();
  CloseAll();
}

Listener& ServiceFrame::AddListener(ListenerSetup setup) {
  listeners_.push_back(std::make_unique<Listener>(*this, std::move(setup)));
  return *listeners_.back();
}

void ServiceFrame::Offload(std::function<void()> work, std::function<void()> done) {
  if (!workers_) {
    workers_ = std::make_unique<WorkerPool>(
        [this](std::function<void()> fn) { loop_.Post(std::move(fn)); },
        WorkerPoolOptions{.threads = setup_.worker_threads,
                          .niceness = std::nullopt,
                          .cancel_descriptor = false});
  }
  workers_->Submit(std::move(work), std::move(done));
}

void ServiceFrame::Log(int level, int number, const char* tag, std::string_view text) {
  if (setup_.log) setup_.log(level, number, tag, text);
}

bool ServiceFrame::ListenAddressesUsable() {
  for (const auto& listener : listeners_) {
    std::string address = listener->configured_address();
    if (address.empty() || IsAddressLiteral(address)) continue;
    // Shown as stored, but never as a line of its own.
    for (char& c : address)
      if (static_cast<unsigned char>(c) < 0x20) c = '?';
    std::string text = Format(kLogBadListenAddress, address.c_str());
    platform::DebugOutput(setup_.window_class + ": " + text.substr(0, text.size() - 2) + "\n");
    if (setup_.start_refused)
      setup_.start_refused(text);
    else
      Log(kLogLevelFailure, 0, kLogEvent, text);
    return false;
  }
  return true;
}

void ServiceFrame::SocketEvent() {
  if (setup_.on_socket_event) setup_.on_socket_event();
}

void ServiceFrame::CloseAll() {
  for (auto& listener : listeners_) listener->CloseAll();
  // Let the cancelled socket operations complete so that nothing outlives the loop.
  loop_.context().restart();
  loop_.context().poll();
}

void ServiceFrame::Stop() {
  if (stopping_) return;
  stopping_ = true;
  if (setup_.on_stopping) setup_.on_stopping();
  loop_.Quit();
}

int ServiceFrame::activity() const {
  int count = 0;
  for (const auto& listener : listeners_) count += static_cast<int>(listener->SlotsInUse());
  if (setup_.extra_activity) count += setup_.extra_activity();
  return count < 0 ? 0 : count;
}

void ServiceFrame::UpdateTrayIcon() {
  platform::TraySetIcon(activity() > 0 ? platform::kIconBusy : platform::kIconIdle);
}

int ServiceFrame::Run() {
  auto presence = platform::PresenceLock::Acquire(setup_.window_class);
  if (!presence) {
    platform::DebugOutput(setup_.window_class + ": already running, or the run folder of " +
                          "the system root cannot be written\n");
    return 1;
  }
  LoadSettings(settings_);
  if (setup_.load_config && !setup_.load_config()) return 1;

  auto before = std::chrono::system_clock::now() - kInterruptedWriteAge;
  size_t swept = SweepInterruptedWrites(settings_.system.MailPath, settings_.system.TempPath,
                                        std::chrono::system_clock::to_time_t(before));
  if (swept > 0) {
    char text[128];
    std::snprintf(text, sizeof text, kLogInterruptedWrites, swept);
    Log(kLogLevelMail, 0, kLogEvent, text);
  }

  // An address that is none never falls back to every address: the service does not start.
  if (!ListenAddressesUsable()) return 1;
  size_t open = 0;
  for (auto& listener : listeners_) {
    if (!listener->enabled()) continue;
    int port = listener->configured_port();
    std::string address = listener->configured_address();
    if (listener->Listen(port, address)) {
      ++open;
      continue;
    }
    platform::DebugOutput(setup_.window_class + ": cannot listen on " +
                          (address.empty() ? "" : address + " ") + "port " + std::to_string(port) +
                          "\n");
    if (!setup_.listen_failed || !setup_.listen_failed(*listener)) return 1;
  }
  if (open == 0) return 1;
  if (setup_.on_started) setup_.on_started();

  TraceInitService(setup_.client_id.c_str());
  if (TraceLevel() <= setup_.trace_level && !setup_.start_trace.empty())
    TracePrint(setup_.start_trace.c_str(), static_cast<unsigned>(getpid()));
  platform::TrayAdd(platform::kIconIdle, setup_.tray_tip);
  UpdateTrayIcon();

  loop_.OnDestroy([this] { Stop(); });
  loop_.OnHangup([this] { CheckTlsFiles(); });
  loop_.Run();
  // Work under way is finished first (message files are complete or absent, never half), then
  // every connection is closed; replies to work finished this late are not sent.
  workers_.reset();
  CloseAll();

  platform::TrayRemove();
  if (TraceLevel() <= setup_.trace_level && !setup_.exit_trace.empty())
    TracePrint("%s", setup_.exit_trace.c_str());
  TraceShutdown();
  return 0;
}

void ServiceFrame::CheckTlsFiles() {
  RequestTlsCheck();
  for (auto& listener : listeners_) listener->CheckTls();
}

size_t SweepInterruptedWrites(const std::string& mail_path, const std::string& temp_path,
                              std::time_t before) {
  size_t removed = 0;
  if (!temp_path.empty()) removed += RemoveInterruptedWrites(temp_path, before);
  DIR* mail = mail_path.empty() ? nullptr : opendir(mail_path.c_str());
  if (mail == nullptr) return removed;
  while (const dirent* entry = readdir(mail)) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    // Mailboxes and the forward queue; a link to a folder elsewhere is not followed.
    struct stat st {};
    if (fstatat(dirfd(mail), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
      removed += RemoveInterruptedWrites(mail_path + "/" + entry->d_name, before);
  }
  closedir(mail);
  return removed;
}

std::string ListenAddress(const Settings& settings) {
  return std::string(FieldText(settings.system.ListenAddress));
}

void StartConsole(std::string_view install_path) {
  std::string program = std::string(install_path) + "/qvrun";
  platform::StartDetached(program);
}

}  // namespace qv
