// Distribution of one message to a mailing list of local members through qvsmtp95 over
// loopback: the time from the end of the message data until the service's reply, and until a
// mailbox file exists for every member (every file is flushed to disk before it gets its name).
//
//   lists_bench [--members N ...] [--size BYTES] [--log-level L] [--dir PATH]
//
// Without --members it runs lists of 1,000 and 10,000 members. The service is the qvsmtp95
// beside this program; it runs against a fresh system root in a temporary folder (or --dir).
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "common/config.h"
#include "common/records.h"
#include "common/recordstore.h"
#include "common/tables.h"
#include "common/testing/service_process.h"
#include "platform/spawn.h"

namespace {

using qv::bench::BenchSettings;

using Clock = std::chrono::steady_clock;

struct Options {
  std::vector<int> members;
  size_t size = 10240;
  int log_level = 4;
  std::string dir;
};

using qv::bench::Client;
using qv::bench::FreePort;
using qv::bench::MessageData;
using qv::bench::ProgramDir;
using qv::bench::RunFolder;
using qv::bench::WriteSmtpBenchKeys;

// The number of members' mailboxes that hold a message file.
int CountFilledMailboxes(const std::string& mail, int members) {
  int filled = 0;
  for (int i = 0; i < members; ++i) {
    DIR* d = opendir((mail + "/m" + std::to_string(i)).c_str());
    if (d == nullptr) continue;
    while (dirent* e = readdir(d)) {
      size_t n = std::strlen(e->d_name);
      if (n > 3 && std::strcmp(e->d_name + n - 3, ".in") == 0) {
        ++filled;
        break;
      }
    }
    closedir(d);
  }
  return filled;
}

struct Result {
  double reply_seconds = 0;
  double all_files_seconds = 0;
  int filled = 0;
  bool ok = false;
};

Result RunOnce(const Options& o, int members) {
  Result result;
  RunFolder folder(o.dir, "qvlistbench");
  const std::string& root = folder.path();
  int port = FreePort();
  WriteSmtpBenchKeys(root, port, o.log_level);
  std::memset(&BenchSettings().system, 0, sizeof BenchSettings().system);
  qv::CopyField(BenchSettings().system.ConfigPath, root + "/config");
  qv::CopyField(BenchSettings().system.Domain, "example.test");

  // The members are local users m0 ... m<N-1>; the list's members file holds them all.
  std::string member_file = root + "/config/bench.mls";
  {
    std::ofstream out(member_file, std::ios::binary);
    for (int i = 0; i < members; ++i) {
      qv::USERSTRUCT user{};
      qv::CopyField(user.Alias, "m" + std::to_string(i));
      qv::CopyField(user.Domain, "example.test");
      qv::AddRecord(BenchSettings().system, &user);
      qv::MEMBERSTRUCT m{};
      qv::CopyField(m.Address, "m" + std::to_string(i) + "@example.test");
      out.write(reinterpret_cast<const char*>(&m), sizeof m);
    }
  }
  qv::USERSTRUCT owner{};
  qv::CopyField(owner.Alias, "owner");
  qv::CopyField(owner.Domain, "example.test");
  qv::AddRecord(BenchSettings().system, &owner);
  qv::LISTSTRUCT list{};
  qv::CopyField(list.Name, "bench");
  qv::CopyField(list.Domain, "example.test");
  qv::CopyField(list.Description, "Benchmark list");
  qv::CopyField(list.FileName, member_file);
  qv::CopyField(list.OwnerUser, "owner");
  qv::CopyField(list.OwnerDomain, "example.test");
  qv::AddRecord(BenchSettings().system, &list);

  qv::testing::ServiceProcess service;
  if (!service.StartAt({ProgramDir() + "/qvsmtp95"}, port, qv::platform::ChildOutput::kNull)) {
    std::fprintf(stderr, "cannot start qvsmtp95\n");
    return result;
  }

  const std::string message = MessageData("list benchmark", "owner@example.test", o.size);
  Client client;
  bool ok =
      client.Connect(port) && client.Expect("", "220") && client.Expect("HELO bench\r\n", "250") &&
      client.Expect("MAIL FROM:<owner@example.test>\r\n", "250") &&
      client.Expect("RCPT TO:<bench@example.test>\r\n", "250") && client.Expect("DATA\r\n", "354");
  Clock::time_point start = Clock::now();
  ok = ok && client.Expect(message, "250");
  result.reply_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  // Wait (up to five minutes) until every member's mailbox holds the message.
  while (ok && Clock::now() - start < std::chrono::minutes(5)) {
    result.filled = CountFilledMailboxes(root + "/mail", members);
    if (result.filled == members) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.all_files_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  client.Expect("QUIT\r\n", "221");
  service.Stop();
  result.ok = ok && result.filled == members;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--members") {
      o.members.push_back(std::atoi(next().c_str()));
    } else if (arg == "--size") {
      o.size = std::strtoul(next().c_str(), nullptr, 10);
    } else if (arg == "--log-level") {
      o.log_level = std::atoi(next().c_str());
    } else if (arg == "--dir") {
      o.dir = next();
    } else {
      std::fprintf(stderr,
                   "usage: lists_bench [--members N ...] [--size BYTES] [--log-level L] "
                   "[--dir PATH]\n");
      return 2;
    }
  }
  if (o.members.empty()) o.members = {1000, 10000};
  signal(SIGPIPE, SIG_IGN);
  bool ok = true;
  for (int members : o.members) {
    if (members < 1) continue;
    Result r = RunOnce(o, members);
    double per_member_ms = r.all_files_seconds * 1000.0 / members;
    std::printf(
        "members %6d  size %6zu  reply after %7.3f s  all mailbox files after %7.3f s  "
        "(%.2f ms per member)  filled %d%s\n",
        members, o.size, r.reply_seconds, r.all_files_seconds, per_member_ms, r.filled,
        r.ok ? "" : "  FAILED");
    std::fflush(stdout);
    ok = ok && r.ok;
  }
  return ok ? 0 : 1;
}
