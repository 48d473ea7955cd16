#include "common/tool_frame.h"

#include "common/config.h"
#include "common/strings.h"
#include "common/tables.h"

namespace qv::tool {
namespace {

constexpr char kTitleLine[] = "%s %s (Version 2.0)\n";
constexpr char kReleaseLine[] = "Release " QV_VERSION_TEXT " for Linux\n";
constexpr char kNotInstalled[] = "Error: The service is not installed\n";
constexpr char kAskForUsage[] = "-?";
constexpr std::string_view kProgramPlaceholder = "%s";

}  // namespace

void PrintTitle(std::FILE* out, const char* title) {
  std::fprintf(out, kTitleLine, kProduct, title);
}

void PrintBanner(const Utility& utility) {
  PrintTitle(stdout, utility.title);
  std::fputs(kReleaseLine, stdout);
  std::fputs("\n", stdout);
}

std::string UsageText(const Utility& utility) {
  std::string_view usage = utility.usage;
  std::string text;
  for (size_t at; (at = usage.find(kProgramPlaceholder)) != std::string_view::npos;) {
    text.append(usage.substr(0, at));
    text.append(utility.program);
    usage.remove_prefix(at + kProgramPlaceholder.size());
  }
  text.append(usage);
  return text;
}

int RunUtility(const Utility& utility, int argc, char** argv,
               const std::function<int(SYSTEMSTRUCT& system)>& body) {
  PrintBanner(utility);
  if (argc < 2 || StartsWithNoCase(argv[1], kAskForUsage)) {
    std::fputs(UsageText(utility).c_str(), stdout);
    return kExitOk;
  }
  SYSTEMSTRUCT system{};
  if (!LoadTableSettings(system)) {
    std::fputs(kNotInstalled, stdout);
    return kExitNotInstalled;
  }
  return body(system);
}

int AdminTool::Usage(const char* why) const {
  if (why != nullptr) std::fprintf(stderr, "%s: %s\n", program, why);
  std::fputs(usage, stderr);
  return usage_exit;
}

void AdminTool::Complain(const std::string& text) const {
  std::fprintf(stderr, "%s: %s\n", program, text.c_str());
}

int RunWithArguments(int argc, char** argv,
                     const std::function<int(const std::vector<std::string>& args)>& run) {
  int code = run(std::vector<std::string>(argv + 1, argv + argc));
  std::fflush(stdout);
  return code;
}

}  // namespace qv::tool
