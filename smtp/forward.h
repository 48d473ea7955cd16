// The outgoing forwarder: takes every file of the forward queue ("<MailPath>/forward/*.out"),
// finds the hosts of its recipient's domain (or the host the address names), holds an SMTP
// client conversation with them and removes the file when the message was handed over or
// finally reported. Files older than ReturnTimer go back to their sender or are reported to the
// administrator. The queue file layout is described in docs/message-files.md.
//
// A run never holds up the service: ForwardRunner runs it on a worker thread, one run at a
// time, while the event loop keeps serving connections.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "common/config.h"
#include "common/dialup_link.h"
#include "net/dns.h"
#include "serve/worker_pool.h"

namespace qv::smtp {

class ForwardRun;       // smtp/forward_run.h
struct KeptConnection;  // smtp/forward_run.h

struct ForwardOptions {
  // When this descriptor becomes readable the run stops at its next wait and between files.
  int cancel_fd = -1;
  // The dial-up link opened around a run when DIALUP is set (it must outlive the runs); the
  // default stands for a machine without dial-up networking.
  DialupLink* dialup = &NoDialupLink();
  int dns_timeout_ms = kDnsTimeoutMs;
  int connect_timeout_ms = 60000;
  int reply_timeout_ms = 300000;
  // What the conversations of a run share (TLS trust, refused logins); RunForwardQueue makes
  // one per run. Null: each conversation makes its own.
  std::shared_ptr<ForwardRun> run;
  // Where a conversation that used TLS or a login leaves its connection when the message was
  // taken, and the next one to the same host takes it up; null: every conversation ends with
  // QUIT. A worker of RunForwardQueue has one.
  KeptConnection* kept = nullptr;
};

// Ends a kept connection with QUIT (logged as a conversation's end is).
void CloseKeptConnection(const Settings& settings, KeptConnection* kept,
                         const ForwardOptions& options);

// The envelope of a queue file, as read from its first 2048 bytes.
struct QueueEnvelope {
  std::string local;         // of the "To:" address
  std::string domain;        // of the "To:" address: "#host", "[address]" or a mail domain
  std::string reverse_path;  // of the "From:" line, without "<" and ">"; empty for a report
  long message_offset = 0;   // where the stored message starts
};

// Results of ReadQueueEnvelope: 0, or the format error found.
constexpr int kQueueNoDestination = 1;
constexpr int kQueueInvalidAddress = 2;
constexpr int kQueueInvalidFormat = 3;

// Reads the envelope from the unmasked head of a queue file.
int ReadQueueEnvelope(std::string_view head, QueueEnvelope* envelope);

// One run over the queue. Returns the number of files removed. Files go one after another in
// name order; a run with TLS or a login sends up to kForwardWorkers conversations at once, each
// keeping its connection for its next message to the same host (smtp/forward_run.h).
int RunForwardQueue(const Settings& settings, const ForwardOptions& options = {});

// One queue file: 1 when the file is done and must be removed, 0 when it stays queued.
// *host_unreachable tells that the hosts could not be reached.
int ForwardQueueFile(const Settings& settings, const std::string& path, bool expired,
                     bool* host_unreachable, const ForwardOptions& options = {});

// One conversation with `host` ("host" or "host:port"; the port defaults to the SMTP PortEx)
// for the blank-separated `recipients`: `text_before` and then the stored message of
// `queue_fd` from `offset` are sent. 1 done (handed over, or refused and reported), 0 not
// done (the file stays queued; *host_unreachable is set).
//
// The conversation is secured as TLSOutgoing says (STARTTLS, or TLS from the first byte on port
// 465), and a host of ExchangeHost gets the exchange login inside TLS (docs/tls.md). When TLS or
// the login does not work out nothing is sent: the host failed, and the message stays queued.
int SendToHost(const Settings& settings, std::string_view recipients, std::string_view reverse_path,
               const std::string& host, int queue_fd, off_t offset, std::string_view text_before,
               bool* host_unreachable, const ForwardOptions& options = {});

// The report of a failed conversation for the sender `reverse_path`: delivered to the sender's
// mailbox when the sender is local, else queued for sending with an empty reverse-path. The
// message is read from `queue_fd` at its current position. Nothing is made for an empty
// reverse-path (a report is never reported). Returns 1 when the report was delivered or queued.
int ReturnDeliveryReport(const Settings& settings, std::string_view reverse_path,
                         std::string_view recipients, std::string_view transaction, int queue_fd);

// The administrator's notices of the forwarder (kinds 2 to 5) are written by the mail library
// (mail/notice.h).

// Runs forward runs on a worker thread, one at a time.
class ForwardRunner {
 public:
  // `post` runs a function on the service's loop thread; `finished` runs there after every run.
  // `settings` must outlive the runner.
  ForwardRunner(const Settings& settings, std::function<void(std::function<void()>)> post,
                std::function<void()> finished, ForwardOptions options = {});
  ForwardRunner(const ForwardRunner&) = delete;
  ForwardRunner& operator=(const ForwardRunner&) = delete;

  // Starts a run unless one is in progress (then false). Called on the loop thread.
  bool Start();
  // True from Start until the run's end has reached the loop thread.
  bool Active() const { return runner_.Active(); }
  // Ends a run in progress at its next wait and waits for it. No run starts afterwards.
  void Stop() { runner_.Stop(); }

 private:
  const Settings& settings_;
  ForwardOptions options_;
  WorkerPool runner_;
};

}  // namespace qv::smtp
