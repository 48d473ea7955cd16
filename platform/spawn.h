// Starting programs without a shell.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace qv::platform {

// Splits a command line into arguments the way the classic C runtime does: blanks and tabs
// separate words, double quotes group, a backslash before a quote escapes it (2n backslashes
// before a quote give n backslashes, 2n+1 give n and a literal quote).
std::vector<std::string> SplitCommandLine(std::string_view line);

// The inverse of SplitCommandLine: words that hold a blank, a tab or a double quote (and empty
// words) are quoted and escaped so that SplitCommandLine gives back exactly `args`.
std::string JoinCommandLine(const std::vector<std::string>& args);

// Where a started program's standard output and error go. Its standard input is always
// /dev/null, and it holds no other descriptor of ours.
enum class ChildOutput {
  kNull,     // /dev/null: programs started for mail
  kInherit,  // ours: test programs that start a service and want to see what it reports
};

// Starts the first word of the command line as a program with the other words as arguments.
// No shell sees the line. The child is remembered and reaped by ReapChildren. True when the
// program started; *pid receives its id when given.
bool StartCommandLine(std::string_view line, pid_t* pid = nullptr);

// Starts the program with the arguments (argv[0] is the program path) and the environment of
// this process. Only standard input, output and error are open in it (see ChildOutput), whatever
// this process holds and whether or not its descriptors are close-on-exec.
bool StartProgram(const std::vector<std::string>& argv, pid_t* pid = nullptr,
                  ChildOutput output = ChildOutput::kNull);

// Starts the program fully detached: a new session, standard input and output on /dev/null, no
// other descriptor of ours but standard error, not a child of this process afterwards (so
// nothing to reap). The "run hidden" of services. Its standard error is `error_fd` when given
// (a pipe through which a starter reads why a start failed), else ours.
bool StartDetached(const std::string& program, const std::vector<std::string>& args = {},
                   int error_fd = -1);

// Collects the exit status of every finished child started above. Services call it on SIGCHLD.
void ReapChildren();

}  // namespace qv::platform
