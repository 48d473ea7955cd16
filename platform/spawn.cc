#include "platform/spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

extern char** environ;

namespace qv::platform {
namespace {

std::mutex g_children_mutex;
std::vector<pid_t> g_children;

std::vector<char*> ArgvOf(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  for (const auto& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string word;
    bool quoted = false;
    while (i < line.size()) {
      char c = line[i];
      if (!quoted && (c == ' ' || c == '\t')) break;
      if (c == '\\') {
        size_t n = 0;
        while (i < line.size() && line[i] == '\\') {
          ++n;
          ++i;
        }
        if (i < line.size() && line[i] == '"') {
          word.append(n / 2, '\\');
          if (n % 2 == 1) {
            word.push_back('"');
            ++i;
          }
        } else {
          word.append(n, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          word.push_back('"');
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      word.push_back(c);
      ++i;
    }
    args.push_back(word);
  }
  return args;
}

std::string JoinCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& arg : args) {
    if (!line.empty()) line += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
      line += arg;
      continue;
    }
    line += '"';
    size_t backslashes = 0;
    for (char c : arg) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      // Backslashes count only before a quote: there each is doubled and the quote escaped.
      line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
      backslashes = 0;
      line += c;
    }
    line.append(2 * backslashes, '\\');
    line += '"';
  }
  return line;
}

bool StartProgram(const std::vector<std::string>& argv, pid_t* pid, ChildOutput output) {
  if (argv.empty() || argv[0].empty()) return false;
  std::vector<char*> args = ArgvOf(argv);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (output == ChildOutput::kNull) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  }
  // Sockets and files of the service never reach the program, even one opened by another
  // thread without close-on-exec a moment ago.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  pid_t child = 0;
  int rc = posix_spawn(&child, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  {
    std::lock_guard<std::mutex> lock(g_children_mutex);
    g_children.push_back(child);
  }
  if (pid) *pid = child;
  return true;
}

bool StartCommandLine(std::string_view line, pid_t* pid) {
  return StartProgram(SplitCommandLine(line), pid);
}

bool StartDetached(const std::string& program, const std::vector<std::string>& args, int error_fd) {
  if (program.empty() || access(program.c_str(), X_OK) != 0) return false;
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv = ArgvOf(argv);
  // Double fork: the middle process starts a new session and exits at once, so the service
  // ends up a child of init and never a zombie of ours.
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return false;
  pid_t middle = fork();
  if (middle < 0) {
    close(pipefd[0]);
    close(pipefd[1]);
    return false;
  }
  if (middle == 0) {
    setsid();
    pid_t grandchild = fork();
    if (grandchild == 0) {
      int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        if (null > STDERR_FILENO) close(null);
      }
      if (error_fd >= 0 && error_fd != STDERR_FILENO) dup2(error_fd, STDERR_FILENO);
      // Nothing of ours but the close-on-exec pipe that reports a failed start.
      unsigned report = static_cast<unsigned>(pipefd[1]);
      if (report > STDERR_FILENO + 1) close_range(STDERR_FILENO + 1, report - 1, 0);
      close_range(report + 1, ~0u, 0);
      execv(program.c_str(), cargv.data());
      char fail = 1;
      ssize_t ignored = write(pipefd[1], &fail, 1);
      (void)ignored;
      _exit(127);
    }
    _exit(grandchild < 0 ? 1 : 0);
  }
  close(pipefd[1]);
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  char fail = 0;
  ssize_t n;
  do {
    n = read(pipefd[0], &fail, 1);
  } while (n < 0 && errno == EINTR);
  close(pipefd[0]);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

void ReapChildren() {
  std::lock_guard<std::mutex> lock(g_children_mutex);
  g_children.erase(std::remove_if(g_children.begin(), g_children.end(),
                                  [](pid_t pid) {
                                    int status = 0;
                                    pid_t r = waitpid(pid, &status, WNOHANG);
                                    return r == pid || (r < 0 && errno == ECHILD);
                                  }),
                   g_children.end());
}

}  // namespace qv::platform
