#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/debugout.h"
#include "platform/fileio.h"
#include "platform/sysroot.h"
#include "platform/text.h"

namespace qv::reg {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

void DefaultSink(const char* line) {
  platform::DebugOutput(line);
}
void (*g_sink)(const char*) = DefaultSink;

void Diagnose(const std::string& text) {
  std::string line = "registry: " + text + "\r\n";
  g_sink(line.c_str());
}

struct Section {
  std::string path;  // full text between the brackets, root included
  std::vector<Value> values;
};

struct Hive {
  std::vector<Section> sections;
};

std::string FullPath(std::string_view path) {
  std::string p(path);
  while (!p.empty() && p.front() == '\\') p.erase(p.begin());
  while (!p.empty() && p.back() == '\\') p.pop_back();
  std::string full(kLocalMachine);
  if (!p.empty()) full += "\\" + p;
  return full;
}

// Accepts "HKLM\..." as a short form of the root in the file too.
std::string NormalizeRoot(const std::string& path) {
  if (path.size() >= 4 && EqualsNoCase(std::string_view(path).substr(0, 4), "HKLM") &&
      (path.size() == 4 || path[4] == '\\'))
    return std::string(kLocalMachine) + path.substr(4);
  return path;
}

// ---- parsing ----

bool ParseQuoted(std::string_view s, size_t* pos, std::string* out) {
  if (*pos >= s.size() || s[*pos] != '"') return false;
  ++*pos;
  out->clear();
  while (*pos < s.size()) {
    char c = s[*pos];
    if (c == '\\' && *pos + 1 < s.size()) {
      out->push_back(s[*pos + 1]);
      *pos += 2;
      continue;
    }
    if (c == '"') {
      ++*pos;
      return true;
    }
    out->push_back(c);
    ++*pos;
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseHexBytes(std::string_view s, std::vector<uint8_t>* out) {
  out->clear();
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == ',')) ++i;
    if (i >= s.size()) break;
    if (i + 1 >= s.size()) return false;
    int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<uint8_t>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

bool ParseValueLine(std::string_view line, Value* v) {
  size_t pos = 0;
  if (line.empty()) return false;
  if (line[0] == '@') {
    v->name.clear();
    pos = 1;
  } else if (!ParseQuoted(line, &pos, &v->name)) {
    return false;
  }
  if (pos >= line.size() || line[pos] != '=') return false;
  ++pos;
  std::string_view data = line.substr(pos);
  if (!data.empty() && data[0] == '"') {
    std::string text;
    size_t p = 0;
    if (!ParseQuoted(data, &p, &text)) return false;
    if (p != data.size()) return false;
    v->type = kSz;
    v->data.assign(text.begin(), text.end());
    v->data.push_back(0);
    return true;
  }
  if (data.size() >= 6 && EqualsNoCase(data.substr(0, 6), "dword:")) {
    std::string_view digits = data.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t n = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) return false;
      n = n * 16 + static_cast<uint32_t>(d);
    }
    v->type = kDword;
    v->data = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
               static_cast<uint8_t>(n >> 24)};
    return true;
  }
  if (data.size() >= 4 && EqualsNoCase(data.substr(0, 4), "hex:")) {
    v->type = kBinary;
    return ParseHexBytes(data.substr(4), &v->data);
  }
  if (data.size() >= 6 && EqualsNoCase(data.substr(0, 4), "hex(")) {
    size_t close = data.find("):");
    if (close == std::string_view::npos || close <= 4) return false;
    uint32_t t = 0;
    for (char c : data.substr(4, close - 4)) {
      int d = HexDigit(c);
      if (d < 0) return false;
      t = t * 16 + static_cast<uint32_t>(d);
    }
    v->type = t;
    return ParseHexBytes(data.substr(close + 2), &v->data);
  }
  return false;
}

Hive Parse(const std::string& text) {
  Hive hive;
  // Split into logical lines: CR LF or LF, with "\" continuation of hex data.
  std::vector<std::string> lines;
  std::string current;
  size_t i = 0;
  while (i <= text.size()) {
    size_t nl = text.find('\n', i);
    std::string line = text.substr(i, nl == std::string::npos ? std::string::npos : nl - i);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!current.empty()) {
      size_t first = line.find_first_not_of(" \t");
      line = first == std::string::npos ? std::string() : line.substr(first);
    }
    if (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos) {
      current += line.substr(0, line.size() - 1);
    } else if (!current.empty() && !line.empty() && line.back() == '\\') {
      current += line.substr(0, line.size() - 1);
    } else {
      lines.push_back(current + line);
      current.clear();
    }
    if (nl == std::string::npos) break;
    i = nl + 1;
  }
  if (!current.empty()) lines.push_back(current);

  Section* section = nullptr;
  int number = 0;
  for (std::string& line : lines) {
    ++number;
    if (number == 1 && line.size() >= 3 && static_cast<unsigned char>(line[0]) == 0xEF &&
        static_cast<unsigned char>(line[1]) == 0xBB && static_cast<unsigned char>(line[2]) == 0xBF)
      line.erase(0, 3);
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    std::string_view l = std::string_view(line).substr(first);
    if (l == kHeader || l.substr(0, 7) == "REGEDIT" || l[0] == ';') continue;
    if (l[0] == '[') {
      size_t close = l.rfind(']');
      if (close == std::string_view::npos || close < 2 || l[1] == '-') {
        Diagnose("line " + std::to_string(number) + " skipped: bad key line");
        section = nullptr;
        continue;
      }
      std::string path = NormalizeRoot(std::string(l.substr(1, close - 1)));
      while (!path.empty() && path.back() == '\\') path.pop_back();
      section = nullptr;
      for (auto& s : hive.sections)
        if (EqualsNoCase(s.path, path)) section = &s;
      if (section == nullptr) {
        hive.sections.push_back({path, {}});
        section = &hive.sections.back();
      }
      continue;
    }
    Value v;
    if (section == nullptr || !ParseValueLine(l, &v)) {
      Diagnose("line " + std::to_string(number) + " skipped: " + std::string(l.substr(0, 80)));
      continue;
    }
    auto it = std::find_if(section->values.begin(), section->values.end(),
                           [&](const Value& x) { return EqualsNoCase(x.name, v.name); });
    if (it != section->values.end())
      *it = std::move(v);
    else
      section->values.push_back(std::move(v));
  }
  return hive;
}

// ---- writing ----

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string HexList(const std::vector<uint8_t>& data) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < data.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02x", data[i]);
    if (i > 0) out += ',';
    out += buf;
  }
  return out;
}

bool PlainText(const std::vector<uint8_t>& data) {
  // A text is written in quotes when it is zero-terminated and holds no other zero and no line
  // break; anything else is kept byte for byte as hex.
  if (data.empty() || data.back() != 0) return false;
  for (size_t i = 0; i + 1 < data.size(); ++i)
    if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') return false;
  return true;
}

std::string Format(const Hive& hive) {
  std::string out(kHeader);
  out += "\r\n";
  for (const auto& s : hive.sections) {
    out += "\r\n[" + s.path + "]\r\n";
    for (const auto& v : s.values) {
      out += v.name.empty() ? "@" : Quote(v.name);
      out += '=';
      if (v.type == kSz && PlainText(v.data)) {
        out += Quote(
            std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1));
      } else if (v.type == kDword && v.data.size() == 4) {
        char buf[16];
        uint32_t n = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                     (static_cast<uint32_t>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        out += buf;
      } else if (v.type == kBinary) {
        out += "hex:" + HexList(v.data);
      } else {
        char buf[32];
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        out += buf + HexList(v.data);
      }
      out += "\r\n";
    }
  }
  return out;
}

// ---- file access under the lock ----

class FileLock {
 public:
  FileLock(bool exclusive) {
    std::string path = RegistryFilePath() + ".lock";
    if (exclusive) platform::MakeDirectories(platform::SystemRoot());
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return;
    while (flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
      if (errno != EINTR) {
        close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

std::string ReadFile(const std::string& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

Hive Load() {
  // A missing root or file is an empty registry; without a lock the file is still read, since
  // it only ever changes by rename.
  FileLock lock(false);
  return Parse(ReadFile(RegistryFilePath()));
}

bool Store(const Hive& hive) {
  // Under the writers' lock; the file holds passwords and is for the services' user alone. When
  // root changes the settings of services that run as a user of their own, the new file stays
  // that user's.
  std::string path = RegistryFilePath();
  struct stat old {};
  bool had = lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  if (!platform::WriteFileAtomically(path, Format(hive), 0600)) return false;
  if (had && geteuid() == 0 && (old.st_uid != 0 || old.st_gid != 0))
    (void)!lchown(path.c_str(), old.st_uid, old.st_gid);
  return true;
}

Section* FindSection(Hive* hive, const std::string& full) {
  for (auto& s : hive->sections)
    if (EqualsNoCase(s.path, full)) return &s;
  return nullptr;
}

bool KeyExists(const Hive& hive, const std::string& full) {
  for (const auto& s : hive.sections) {
    if (EqualsNoCase(s.path, full)) return true;
    if (s.path.size() > full.size() && s.path[full.size()] == '\\' &&
        EqualsNoCase(std::string_view(s.path).substr(0, full.size()), full))
      return true;
  }
  return false;
}

const Value* FindValue(const std::vector<Value>& values, std::string_view name) {
  for (const auto& v : values)
    if (EqualsNoCase(v.name, name)) return &v;
  return nullptr;
}

}  // namespace

// The open batch of a thread: the lock it holds and the copy of the registry it changes.
struct BatchState {
  FileLock lock{true};
  Hive hive;
  bool changed = false;
};

namespace {
thread_local BatchState* t_batch = nullptr;
}  // namespace

Batch::Batch() : state_(new BatchState) {
  assert(t_batch == nullptr);
  if (state_->lock.ok()) state_->hive = Parse(ReadFile(RegistryFilePath()));
  t_batch = state_;
}

Batch::~Batch() {
  if (t_batch == state_) t_batch = nullptr;
  delete state_;
}

long Batch::Commit() {
  if (t_batch != state_) return kInvalidHandle;
  t_batch = nullptr;
  if (!state_->lock.ok()) return kAccessDenied;
  if (state_->changed && !Store(state_->hive)) return kCantWrite;
  return kSuccess;
}

std::string RegistryFilePath() {
  return platform::SystemPath("registry.reg");
}

void SetDiagnosticSink(void (*sink)(const char*)) {
  g_sink = sink ? sink : DefaultSink;
}

long CreateKey(std::string_view path, std::string_view /*key_class*/, Key* key) {
  *key = Key();
  std::string full = FullPath(path);
  if (t_batch != nullptr) {
    if (!t_batch->lock.ok()) return kAccessDenied;
    Section* s = FindSection(&t_batch->hive, full);
    if (s == nullptr) {
      t_batch->hive.sections.push_back({full, {}});
      t_batch->changed = true;
      s = &t_batch->hive.sections.back();
    }
    key->valid_ = true;
    key->writable_ = true;
    key->path_ = s->path;
    key->values_ = s->values;
    return kSuccess;
  }
  FileLock lock(true);
  if (!lock.ok()) return kAccessDenied;
  Hive hive = Parse(ReadFile(RegistryFilePath()));
  Section* s = FindSection(&hive, full);
  if (s == nullptr) {
    hive.sections.push_back({full, {}});
    if (!Store(hive)) return kCantWrite;
    s = &hive.sections.back();
  }
  key->valid_ = true;
  key->writable_ = true;
  key->path_ = s->path;
  key->values_ = s->values;
  return kSuccess;
}

long OpenKey(std::string_view path, Key* key) {
  *key = Key();
  std::string full = FullPath(path);
  Hive hive = t_batch != nullptr ? t_batch->hive : Load();
  if (!KeyExists(hive, full)) return kFileNotFound;
  Section* s = FindSection(&hive, full);
  key->valid_ = true;
  key->path_ = s ? s->path : full;
  if (s) key->values_ = s->values;
  return kSuccess;
}

long QueryValue(const Key& key, std::string_view name, uint32_t* type, void* data, uint32_t* size) {
  if (!key.valid_) return kInvalidHandle;
  const Value* v = FindValue(key.values_, name);
  if (v == nullptr) return kFileNotFound;
  if (type) *type = v->type;
  uint32_t need = static_cast<uint32_t>(v->data.size());
  if (size == nullptr) return data ? kInvalidParameter : kSuccess;
  if (data == nullptr) {
    *size = need;
    return kSuccess;
  }
  if (*size < need) {
    *size = need;
    return kMoreData;
  }
  if (need > 0) std::memcpy(data, v->data.data(), need);
  *size = need;
  return kSuccess;
}

namespace {

// One change of the hive: inside a batch the batch's hive (written when the batch commits),
// else the file's, read and written back under the write lock held for the change.
class HiveChange {
 public:
  HiveChange() {
    if (t_batch != nullptr) return;
    lock_.emplace(true);
    if (lock_->ok()) local_ = Parse(ReadFile(RegistryFilePath()));
  }
  bool ok() const { return t_batch != nullptr ? t_batch->lock.ok() : lock_->ok(); }
  Hive& hive() { return t_batch != nullptr ? t_batch->hive : local_; }
  // Marks the batch changed, or stores the file; false when it cannot be written.
  bool Commit() {
    if (t_batch == nullptr) return Store(local_);
    t_batch->changed = true;
    return true;
  }

 private:
  std::optional<FileLock> lock_;
  Hive local_;
};

}  // namespace

long SetValue(Key* key, std::string_view name, uint32_t type, const void* data, uint32_t size) {
  if (!key->valid_) return kInvalidHandle;
  if (!key->writable_) return kAccessDenied;
  Value v;
  v.name = std::string(name);
  v.type = type;
  if (size > 0)
    v.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  HiveChange change;
  if (!change.ok()) return kAccessDenied;
  Hive& hive = change.hive();
  Section* s = FindSection(&hive, key->path_);
  if (s == nullptr) {
    hive.sections.push_back({key->path_, {}});
    s = &hive.sections.back();
  }
  auto it = std::find_if(s->values.begin(), s->values.end(),
                         [&](const Value& x) { return EqualsNoCase(x.name, name); });
  if (it != s->values.end()) {
    v.name = it->name;  // keep the spelling it was created with
    *it = v;
  } else {
    s->values.push_back(v);
  }
  if (!change.Commit()) return kCantWrite;
  key->values_ = s->values;
  return kSuccess;
}

long SetString(Key* key, std::string_view name, std::string_view text) {
  std::string data(text);
  return SetValue(key, name, kSz, data.c_str(), static_cast<uint32_t>(data.size() + 1));
}

long SetDword(Key* key, std::string_view name, uint32_t value) {
  uint8_t data[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                     static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return SetValue(key, name, kDword, data, 4);
}

long DeleteValue(Key* key, std::string_view name) {
  if (!key->valid_) return kInvalidHandle;
  if (!key->writable_) return kAccessDenied;
  HiveChange change;
  if (!change.ok()) return kAccessDenied;
  Hive& hive = change.hive();
  Section* s = FindSection(&hive, key->path_);
  if (s == nullptr) return kFileNotFound;
  auto it = std::find_if(s->values.begin(), s->values.end(),
                         [&](const Value& x) { return EqualsNoCase(x.name, name); });
  if (it == s->values.end()) return kFileNotFound;
  s->values.erase(it);
  if (!change.Commit()) return kCantWrite;
  key->values_ = s->values;
  return kSuccess;
}

long DeleteKey(std::string_view path) {
  std::string full = FullPath(path);
  HiveChange change;
  if (!change.ok()) return kAccessDenied;
  Hive& hive = change.hive();
  if (!KeyExists(hive, full)) return kFileNotFound;
  std::erase_if(hive.sections, [&](const Section& s) {
    return EqualsNoCase(s.path, full) ||
           (s.path.size() > full.size() && s.path[full.size()] == '\\' &&
            EqualsNoCase(std::string_view(s.path).substr(0, full.size()), full));
  });
  if (!change.Commit()) return kCantWrite;
  return kSuccess;
}

void CloseKey(Key* key) {
  *key = Key();
}

bool ReadString(std::string_view path, std::string_view name, std::string* out) {
  Key key;
  if (OpenKey(path, &key) != kSuccess) return false;
  const Value* v = FindValue(key.values(), name);
  if (v == nullptr || v->type != kSz) return false;
  std::string text(v->data.begin(), v->data.end());
  size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  *out = text;
  return true;
}

bool ReadDword(std::string_view path, std::string_view name, uint32_t* out) {
  Key key;
  if (OpenKey(path, &key) != kSuccess) return false;
  const Value* v = FindValue(key.values(), name);
  if (v == nullptr || v->type != kDword || v->data.size() != 4) return false;
  *out = v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) |
         (static_cast<uint32_t>(v->data[3]) << 24);
  return true;
}

std::string ExportText() {
  return Format(Load());
}

std::string TypeName(uint32_t type) {
  switch (type) {
    case kNone:
      return "REG_NONE";
    case kSz:
      return "REG_SZ";
    case kExpandSz:
      return "REG_EXPAND_SZ";
    case kBinary:
      return "REG_BINARY";
    case kDword:
      return "REG_DWORD";
    case kMultiSz:
      return "REG_MULTI_SZ";
    default:
      return "REG_TYPE_" + std::to_string(type);
  }
}

}  // namespace qv::reg
