#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "common/testing/test_env.h"
#include "platform/eventloop.h"
#include "platform/fileio.h"
#include "platform/netinfo.h"
#include "platform/presence.h"
#include "platform/spawn.h"
#include "platform/winprofile.h"

namespace qv::platform {
namespace {

using qv::testing::ReadFileText;
using qv::testing::ScopedSystemRoot;
using qv::testing::TempDir;
using qv::testing::WriteFileText;

// ReadUpTo reads to the end of the file and no further, from any position, and tells a read
// error from the end.
TEST(NetInfo, SystemNameServerIsTheFirstNameserverLine) {
  TempDir dir;
  WriteFileText(dir.Sub("r1"),
                "# comment\nsearch x.test\nnameserver 10.0.0.53\nnameserver 9.9.9.9\n");
  WriteFileText(dir.Sub("r2"), "search only\n");
  EXPECT_EQ(SystemNameServer(dir.Sub("r1")), "10.0.0.53");
  EXPECT_EQ(SystemNameServer(dir.Sub("r2")), "");
  EXPECT_EQ(SystemNameServer(dir.Sub("missing")), "");
}

TEST(FileIo, ReadUpToStopsOnlyAtTheEnd) {
  TempDir dir;
  std::string bytes(100000, 'x');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
  WriteFileText(dir.Sub("f"), bytes);
  int fd = open(dir.Sub("f").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string got(bytes.size() + 10, '\0');
  EXPECT_EQ(ReadUpTo(fd, got.data(), got.size(), 0), static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(got.substr(0, bytes.size()), bytes);
  EXPECT_EQ(ReadUpTo(fd, got.data(), 10, 99995), 5);
  EXPECT_EQ(got.substr(0, 5), bytes.substr(99995));
  EXPECT_EQ(ReadUpTo(fd, got.data(), 10, 100000), 0);
  EXPECT_EQ(ReadUpTo(fd, got.data(), 10, 200000), 0);
  EXPECT_EQ(ReadUpTo(fd, got.data(), 0, 0), 0);
  close(fd);
  EXPECT_EQ(ReadUpTo(fd, got.data(), 10, 0), -1);  // closed descriptor
}

TEST(Profile, ReadsWritesAndCutsToTheBuffer) {
  ScopedSystemRoot root;
  char buf[256];
  EXPECT_EQ(GetProfileString("windows", "run", "none", buf, sizeof buf), 4u);
  EXPECT_STREQ(buf, "none");
  WriteFileText(ProfilePath(), "[Other]\r\nrun=wrong\r\n[Windows]\r\n Run = a b \r\nload=x\r\n");
  EXPECT_EQ(GetProfileString("windows", "run", "", buf, sizeof buf), 5u);
  EXPECT_STREQ(buf, " a b ");
  EXPECT_EQ(GetProfileString("windows", "run", "", buf, 3), 2u);
  EXPECT_STREQ(buf, " a");
  ASSERT_TRUE(WriteProfileString("windows", "run", "c"));
  std::string text = ReadFileText(ProfilePath());
  EXPECT_NE(text.find("run=c\r\nload=x"), std::string::npos);
  EXPECT_NE(text.find("[Other]\r\nrun=wrong"), std::string::npos);
  ASSERT_TRUE(WriteProfileString("new", "k", "v"));
  GetProfileString("new", "k", "", buf, sizeof buf);
  EXPECT_STREQ(buf, "v");
}

TEST(CommandLine, SplitsLikeTheCRuntime) {
  struct Case {
    const char* line;
    std::vector<std::string> args;
  } cases[] = {
      {"", {}},
      {"   ", {}},
      {"prog a  b\tc", {"prog", "a", "b", "c"}},
      {"\"/opt/my prog\" \"two words\" x", {"/opt/my prog", "two words", "x"}},
      {"a\"b c\"d", {"ab cd"}},
      {"a\\\\\"b c\"", {"a\\b c"}},
      {"a\\\"b", {"a\"b"}},
      {"a\\b\\c", {"a\\b\\c"}},
      {"\"unterminated quote", {"unterminated quote"}},
      {"x; rm -rf /", {"x;", "rm", "-rf", "/"}},
      {"$(reboot) `id` |cat", {"$(reboot)", "`id`", "|cat"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
}

TEST(CommandLine, StartsWithoutShell) {
  TempDir dir;
  std::string marker = dir.Sub("marker");
  // The semicolon and the redirection are plain words for /bin/echo.
  pid_t pid = 0;
  ASSERT_TRUE(StartCommandLine(
      "/bin/sh -c \"echo $0 > " + marker + "\" ; touch " + dir.Sub("injected"), &pid));
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(access(dir.Sub("injected").c_str(), F_OK), -1);
  EXPECT_EQ(ReadFileText(marker), ";\n");
  EXPECT_FALSE(StartCommandLine("/no/such/program"));
  EXPECT_FALSE(StartCommandLine(""));
}

TEST(CommandLine, JoinGivesBackEveryWord) {
  const std::vector<std::string> cases[] = {
      {},
      {""},
      {"a", "", "b"},
      {"plain", "two words", "\ttab"},
      {"hello\" --injected \"/etc/passwd", "fixed"},
      {"a\\\"b", "end\\", "\\\\", "\"", "\\\"", "x\\ y\\\\"},
      {"C:\\dir\\file", "\"\"", "a\"\"b c"},
  };
  for (const auto& args : cases) {
    std::string line = JoinCommandLine(args);
    EXPECT_EQ(SplitCommandLine(line), args) << line;
  }
  EXPECT_EQ(JoinCommandLine({"a", "b c", ""}), "a \"b c\" \"\"");
}

// What a running program holds once it sleeps (its loader has closed the libraries by then):
// "<fd> -> <target>" for each open descriptor.
std::vector<std::string> DescriptorsOf(pid_t pid) {
  std::string proc = "/proc/" + std::to_string(pid);
  for (int i = 0; i < 400; ++i) {
    std::string stat = ReadFileText(proc + "/stat");
    size_t state = stat.rfind(") ");
    if (state != std::string::npos && stat.compare(state + 2, 1, "S") == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::vector<std::string> seen;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", ec)) {
    seen.push_back(entry.path().filename().string() + " -> " +
                   std::filesystem::read_symlink(entry.path(), ec).string());
  }
  std::sort(seen.begin(), seen.end());
  return seen;
}

TEST(StartProgram, HoldsOnlyItsStandardStreams) {
  TempDir dir;
  // Descriptors of ours without close-on-exec: a socket, a file and a pipe.
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  int file = open(dir.Sub("open-file").c_str(), O_CREAT | O_RDWR, 0600);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ASSERT_GE(sock, 0);
  ASSERT_GE(file, 0);
  for (ChildOutput output : {ChildOutput::kNull, ChildOutput::kInherit}) {
    pid_t pid = 0;
    ASSERT_TRUE(StartProgram({"/bin/sleep", "30"}, &pid, output));
    std::vector<std::string> held = DescriptorsOf(pid);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ASSERT_EQ(held.size(), 3u);
    EXPECT_EQ(held[0], "0 -> /dev/null");
    if (output == ChildOutput::kNull) {
      EXPECT_EQ(held[1], "1 -> /dev/null");
      EXPECT_EQ(held[2], "2 -> /dev/null");
    }
  }
  for (int fd : {sock, file, ends[0], ends[1]}) close(fd);
}

TEST(EventLoop, AcceptedSocketsAreCloseOnExecAndUndelayed) {
  EventLoop loop;
  asio::ip::tcp::acceptor acceptor(loop.context());
  asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
  ASSERT_FALSE(OpenListener(acceptor, endpoint, 5));
  EXPECT_NE(fcntl(acceptor.native_handle(), F_GETFD) & FD_CLOEXEC, 0);
  int port = acceptor.local_endpoint().port();

  // Refused: a second listener on the same port.
  asio::ip::tcp::acceptor second(loop.context());
  EXPECT_TRUE(OpenListener(second, asio::ip::tcp::endpoint(endpoint.address(), port), 5));
  EXPECT_FALSE(second.is_open());

  int accepted_flags = -1;
  int nodelay = 0;
  std::string peer;
  AsyncAccept(acceptor, [&](const std::error_code& ec, asio::ip::tcp::socket socket) {
    ASSERT_FALSE(ec) << ec.message();
    accepted_flags = fcntl(socket.native_handle(), F_GETFD);
    socklen_t size = sizeof nodelay;
    getsockopt(socket.native_handle(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &size);
    peer = socket.remote_endpoint().address().to_string();
    loop.Quit();
  });
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  loop.Run();
  close(client);
  EXPECT_NE(accepted_flags & FD_CLOEXEC, 0);
  EXPECT_NE(nodelay, 0);  // a reply in two writes is not held back for an acknowledgement
  EXPECT_EQ(peer, "127.0.0.1");

  // A closed acceptor ends the wait with operation_aborted.
  std::error_code aborted;
  loop.context().restart();
  AsyncAccept(acceptor, [&](const std::error_code& ec, asio::ip::tcp::socket) { aborted = ec; });
  acceptor.close();
  loop.context().poll();
  EXPECT_EQ(aborted, asio::error::operation_aborted);
}

TEST(Presence, LockIsExclusiveAndReleasedAtEnd) {
  ScopedSystemRoot root;
  EXPECT_FALSE(FindServiceWindow("QuorvaneTest"));
  {
    auto lock = PresenceLock::Acquire("QuorvaneTest");
    ASSERT_NE(lock, nullptr);
    pid_t pid = 0;
    EXPECT_TRUE(FindServiceWindow("QuorvaneTest", &pid));
    EXPECT_EQ(pid, getpid());
    EXPECT_EQ(PresenceLock::Acquire("QuorvaneTest"), nullptr);
  }
  EXPECT_FALSE(FindServiceWindow("QuorvaneTest"));
  EXPECT_NE(PresenceLock::Acquire("QuorvaneTest"), nullptr);
}

TEST(Presence, DetachedProgramHoldsLockUntilSigterm) {
  ScopedSystemRoot root;
  setenv("QV_HOLD_CLASS", "QuorvaneHold", 1);
  ASSERT_TRUE(StartDetached(qv::testing::BinDir() + "/qvtesthold"));
  pid_t pid = 0;
  for (int i = 0; i < 800 && !FindServiceWindow("QuorvaneHold", &pid); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  ASSERT_TRUE(FindServiceWindow("QuorvaneHold", &pid));
  EXPECT_NE(pid, getpid());
  EXPECT_TRUE(SendDestroy("QuorvaneHold"));
  for (int i = 0; i < 800 && FindServiceWindow("QuorvaneHold"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  EXPECT_FALSE(FindServiceWindow("QuorvaneHold"));
  EXPECT_FALSE(SendDestroy("QuorvaneHold"));
  EXPECT_FALSE(StartDetached("/no/such/program"));
}

TEST(EventLoop, TimersByIdPostAndStopSignal) {
  EventLoop loop;
  int fast = 0, killed = 0;
  // The fast timer kills the slow one, then asks another thread to post the stop signal; the
  // order of events never depends on how loaded the machine is.
  loop.SetTimer(1, std::chrono::milliseconds(5), [&] {
    if (++fast != 3) return;
    loop.KillTimer(2);
    std::thread([&loop] { loop.Post([] { raise(SIGTERM); }); }).join();
  });
  loop.SetTimer(2, std::chrono::milliseconds(60000), [&] { ++killed; });
  bool destroyed = false;
  loop.OnDestroy([&] {
    destroyed = true;
    loop.Quit();
  });
  loop.Run();
  EXPECT_TRUE(destroyed);
  EXPECT_GE(fast, 3);
  EXPECT_EQ(killed, 0);
  EXPECT_FALSE(loop.HasTimer(2));
}

}  // namespace
}  // namespace qv::platform
