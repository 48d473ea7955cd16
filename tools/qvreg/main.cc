// qvreg: reads and changes the registry file of the system root from the command line.
//   qvreg query <key> [<value>]
//   qvreg add <key> /v <name> /t REG_SZ|REG_DWORD /d <data>
//   qvreg delete <key> /v <name>
//   qvreg export
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/strings.h"
#include "common/tool_frame.h"
#include "platform/registry.h"

namespace {

using qv::tool::kExitOk;
constexpr int kExitNotFound = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailed = 3;

constexpr qv::tool::AdminTool kTool = {
    "qvreg",
    "usage: qvreg query <key> [<value>] | qvreg add <key> /v <name> /t REG_SZ|REG_DWORD "
    "/d <data> | qvreg delete <key> /v <name> | qvreg export\n",
    kExitUsage};

// Strips the root from a key as written on the command line; false when the root is another.
bool KeyPath(const std::string& arg, std::string* path) {
  size_t slash = arg.find('\\');
  std::string root = arg.substr(0, slash);
  if (!qv::EqualsNoCase(root, "HKEY_LOCAL_MACHINE") && !qv::EqualsNoCase(root, "HKLM"))
    return false;
  *path = slash == std::string::npos ? std::string() : arg.substr(slash + 1);
  return true;
}

std::string ShowData(const qv::reg::Value& v) {
  if (v.type == qv::reg::kSz || v.type == qv::reg::kExpandSz) {
    std::string text(v.data.begin(), v.data.end());
    size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return text;
  }
  if (v.type == qv::reg::kDword && v.data.size() == 4) {
    uint32_t n =
        v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", n);
    return buf;
  }
  std::string hex;
  char buf[4];
  for (uint8_t b : v.data) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    hex += buf;
  }
  return hex;
}

void PrintValue(const qv::reg::Value& v) {
  std::printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : v.name.c_str(),
              qv::reg::TypeName(v.type).c_str(), ShowData(v).c_str());
}

// Parses "/v name /t type /d data" style switches.
bool Switches(const std::vector<std::string>& args, size_t from, std::string* v, std::string* t,
              std::string* d, bool* has_d) {
  for (size_t i = from; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return false;
    const std::string& s = args[i];
    if (qv::EqualsNoCase(s, "/v"))
      *v = args[i + 1];
    else if (qv::EqualsNoCase(s, "/t"))
      *t = args[i + 1];
    else if (qv::EqualsNoCase(s, "/d")) {
      *d = args[i + 1];
      *has_d = true;
    } else
      return false;
  }
  return true;
}

int Query(const std::vector<std::string>& args) {
  if (args.size() < 2 || args.size() > 3)
    return kTool.Usage("query takes a key and an optional value");
  std::string path;
  if (!KeyPath(args[1], &path)) return kTool.Usage("keys begin with HKEY_LOCAL_MACHINE or HKLM");
  qv::reg::Key key;
  if (qv::reg::OpenKey(path, &key) != qv::reg::kSuccess) {
    kTool.Complain("key not found: " + args[1]);
    return kExitNotFound;
  }
  std::printf(
      "%s\\%s\n", std::string(qv::reg::kLocalMachine).c_str(),
      key.path().substr(std::min(key.path().size(), qv::reg::kLocalMachine.size() + 1)).c_str());
  bool found = args.size() == 2;
  for (const auto& v : key.values()) {
    if (args.size() == 3 && !qv::EqualsNoCase(v.name, args[2].c_str())) continue;
    PrintValue(v);
    found = true;
  }
  if (!found) {
    kTool.Complain("value not found: " + args[2]);
    return kExitNotFound;
  }
  return kExitOk;
}

int Add(const std::vector<std::string>& args) {
  if (args.size() < 2) return kTool.Usage("add takes a key");
  std::string path, name, type = "REG_SZ", data;
  bool has_data = false;
  if (!KeyPath(args[1], &path)) return kTool.Usage("keys begin with HKEY_LOCAL_MACHINE or HKLM");
  if (!Switches(args, 2, &name, &type, &data, &has_data)) return kTool.Usage("bad switches");
  qv::reg::Key key;
  if (qv::reg::CreateKey(path, "", &key) != qv::reg::kSuccess) {
    kTool.Complain("cannot write " + qv::reg::RegistryFilePath());
    return kExitFailed;
  }
  if (args.size() == 2) return kExitOk;  // just the key
  if (!has_data) return kTool.Usage("add needs /d <data>");
  long rc;
  if (qv::EqualsNoCase(type, "REG_SZ")) {
    rc = qv::reg::SetString(&key, name, data);
  } else if (qv::EqualsNoCase(type, "REG_DWORD")) {
    errno = 0;
    char* end = nullptr;
    long long n = std::strtoll(data.c_str(), &end, 0);
    if (data.empty() || *end != '\0' || errno != 0 || n < INT32_MIN || n > UINT32_MAX)
      return kTool.Usage("REG_DWORD data must be a 32-bit number (decimal or 0x hex)");
    rc = qv::reg::SetDword(&key, name, static_cast<uint32_t>(n));
  } else {
    return kTool.Usage("types are REG_SZ and REG_DWORD");
  }
  if (rc != qv::reg::kSuccess) {
    kTool.Complain("cannot write " + qv::reg::RegistryFilePath());
    return kExitFailed;
  }
  return kExitOk;
}

int Delete(const std::vector<std::string>& args) {
  std::string path, name, type, data;
  bool has_data = false;
  if (args.size() != 4) return kTool.Usage("delete takes a key and /v <name>");
  if (!KeyPath(args[1], &path)) return kTool.Usage("keys begin with HKEY_LOCAL_MACHINE or HKLM");
  if (!Switches(args, 2, &name, &type, &data, &has_data) || !qv::EqualsNoCase(args[2], "/v"))
    return kTool.Usage("delete takes /v <name>");
  qv::reg::Key key;
  if (qv::reg::OpenKey(path, &key) != qv::reg::kSuccess) {
    kTool.Complain("key not found: " + args[1]);
    return kExitNotFound;
  }
  if (qv::reg::CreateKey(path, "", &key) != qv::reg::kSuccess) return kExitFailed;
  long rc = qv::reg::DeleteValue(&key, name);
  if (rc == qv::reg::kFileNotFound) {
    kTool.Complain("value not found: " + name);
    return kExitNotFound;
  }
  return rc == qv::reg::kSuccess ? kExitOk : kExitFailed;
}

int Dispatch(const std::vector<std::string>& args) {
  if (args.empty()) return kTool.Usage(nullptr);
  if (qv::EqualsNoCase(args[0], "query")) return Query(args);
  if (qv::EqualsNoCase(args[0], "add")) return Add(args);
  if (qv::EqualsNoCase(args[0], "delete")) return Delete(args);
  if (qv::EqualsNoCase(args[0], "export")) {
    if (args.size() != 1) return kTool.Usage("export takes no arguments");
    std::fputs(qv::reg::ExportText().c_str(), stdout);
    return kExitOk;
  }
  return kTool.Usage("unknown operation");
}

}  // namespace

int main(int argc, char** argv) {
  return qv::tool::RunWithArguments(argc, argv, Dispatch);
}
