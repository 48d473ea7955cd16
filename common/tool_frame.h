// The frame every command-line tool's main shares: how it greets, how it shows its usage, how it
// finds that the services are not installed, and the exit codes of those cases.
//
// Two kinds of tool use it. The utilities of the record tables (qvuser, qvpass, qvreorg) print
// a banner, show a usage screen on standard output when run without arguments or with "-?", and
// need the services installed:
//
//   int main(int argc, char** argv) {
//     return qv::tool::RunUtility(kUtility, argc, argv, [&](qv::SYSTEMSTRUCT& system) {...});
//   }
//
// The administration tools (qvreg, qvctl) complain in one line "<program>: <why>" on standard
// error, followed by their usage text, and leave with their own exit code of wrong usage.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace qv {

struct SYSTEMSTRUCT;

namespace tool {

// The exit codes the frame itself answers with.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNotInstalled = 1;

// The product's name in every banner.
inline constexpr char kProduct[] = "Quorvane";

// A utility of the record tables.
struct Utility {
  const char* program;  // its file name, as its usage screen shows it
  const char* title;    // what the banner calls it, e.g. "Password Utility"
  const char* usage;    // the usage screen; each "%s" in it stands for the program name
};

// "<product> <title> (Version 2.0)\n": the first line of a banner, the whole of it for a tool
// that reads no configuration.
void PrintTitle(std::FILE* out, const char* title);

// The banner of a utility: its title line, the line of the release and an empty line.
void PrintBanner(const Utility& utility);

// The usage screen of a utility, with its program name in place of every "%s".
std::string UsageText(const Utility& utility);

// Prints the banner; shows the usage screen when there is no argument or the first begins with
// "-?" (kExitOk); reads the table settings, telling "Error: The service is not installed" when
// they are unusable (kExitNotInstalled); else runs `body` with them and answers its exit code.
int RunUtility(const Utility& utility, int argc, char** argv,
               const std::function<int(SYSTEMSTRUCT& system)>& body);

// An administration tool's complaints and usage on standard error.
struct AdminTool {
  const char* program;  // the prefix of every complaint
  const char* usage;    // printed as it is after a complaint about the usage
  int usage_exit;       // the exit code of wrong usage

  // Prints "<program>: <why>\n" (when `why` is given) and the usage; returns usage_exit.
  int Usage(const char* why) const;
  int Usage(const std::string& why) const { return Usage(why.c_str()); }
  // Prints "<program>: <text>\n" (Format makes the text of a complaint with values in it).
  void Complain(const std::string& text) const;
};

// Runs `run` with the arguments after the program name and flushes standard output before
// answering its exit code.
int RunWithArguments(int argc, char** argv,
                     const std::function<int(const std::vector<std::string>& args)>& run);

}  // namespace tool
}  // namespace qv
