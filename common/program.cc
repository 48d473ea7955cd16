// Version texts of program files, the kind of system, and program start for command addresses.
#include "common/program.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/config.h"
#include "common/strings.h"
#include "platform/fileio.h"
#include "platform/spawn.h"
#include "platform/unique_fd.h"

namespace qv {

namespace {

// ---- version stamp ----

constexpr size_t kElfIdentSize = 16;
constexpr uint8_t kElfClass32 = 1;
constexpr uint8_t kElfClass64 = 2;
constexpr uint8_t kElfDataLittle = 1;
constexpr uint8_t kElfDataBig = 2;
constexpr uint32_t kSectionNoBits = 8;
constexpr uint16_t kSectionIndexExtended = 0xffff;
constexpr uint64_t kMaxSections = 1 << 16;
constexpr size_t kMaxVersionText = 256;

// Field reader of one ELF file: its class and byte order.
class ElfFields {
 public:
  ElfFields(const FileReader& read, bool is64, bool big) : read_(read), is64_(is64), big_(big) {}

  bool is64() const { return is64_; }

  bool Unsigned(uint64_t offset, size_t width, uint64_t* value) const {
    uint8_t bytes[8];
    if (width > sizeof bytes || !read_(offset, width, bytes)) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) {
      size_t index = big_ ? i : width - 1 - i;
      v = (v << 8) | bytes[index];
    }
    *value = v;
    return true;
  }
  // An address-sized field: 8 bytes in a 64-bit file, 4 in a 32-bit one.
  bool Word(uint64_t offset, uint64_t* value) const {
    return Unsigned(offset, is64_ ? 8 : 4, value);
  }
  bool Read(uint64_t offset, size_t size, void* out) const { return read_(offset, size, out); }

 private:
  const FileReader& read_;
  bool is64_;
  bool big_;
};

struct Section {
  uint64_t name = 0;
  uint64_t type = 0;
  uint64_t link = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
};

bool ReadSection(const ElfFields& elf, uint64_t table, uint64_t entry_size, uint64_t index,
                 Section* s) {
  if (index > (UINT64_MAX - table) / entry_size) return false;
  uint64_t at = table + index * entry_size;
  if (elf.is64()) {
    return elf.Unsigned(at, 4, &s->name) && elf.Unsigned(at + 4, 4, &s->type) &&
           elf.Unsigned(at + 24, 8, &s->offset) && elf.Unsigned(at + 32, 8, &s->size) &&
           elf.Unsigned(at + 40, 4, &s->link);
  }
  return elf.Unsigned(at, 4, &s->name) && elf.Unsigned(at + 4, 4, &s->type) &&
         elf.Unsigned(at + 16, 4, &s->offset) && elf.Unsigned(at + 20, 4, &s->size) &&
         elf.Unsigned(at + 24, 4, &s->link);
}

bool SectionNameIs(const ElfFields& elf, const Section& names, uint64_t name_offset,
                   std::string_view wanted) {
  // The name plus its terminating zero must lie inside the name table.
  if (name_offset >= names.size || names.size - name_offset < wanted.size() + 1) return false;
  char buffer[sizeof kVersionSection];
  if (wanted.size() + 1 > sizeof buffer) return false;
  if (!elf.Read(names.offset + name_offset, wanted.size() + 1, buffer)) return false;
  return std::string_view(buffer, wanted.size()) == wanted && buffer[wanted.size()] == '\0';
}

// ---- command line ----

constexpr const char* kHeaderPlaceholders[] = {
    "%%From:%%",         "%%To:%%",           "%%Subject:%%",
    "%%Date:%%",         "%%Message-ID:%%",   "%%Reply-To:%%",
    "%%MIME-Version:%%", "%%Content-Type:%%", "%%Content-Transfer-Encoding:%%",
    "%%X-Mailer:%%",     "%%Message-Text%%",
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimRight(std::string_view text, std::string_view set) {
  size_t end = text.find_last_not_of(set);
  return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

// One argument while placeholders are replaced: pieces of the record's text and values taken
// from the message, kept apart. Only the record's text is searched for placeholders, so a value
// is never expanded again and always stays inside the argument it was put in.
struct Piece {
  std::string text;
  bool value = false;
};
using Word = std::vector<Piece>;

class Arguments {
 public:
  // `room`: the most characters the arguments may hold, with one blank between two of them.
  Arguments(std::string_view parameters, size_t room) : room_(room) {
    for (std::string& text : platform::SplitCommandLine(parameters)) {
      words_.push_back(Word{Piece{std::move(text), false}});
    }
  }

  bool Contains(std::string_view placeholder) const {
    for (const Word& word : words_) {
      for (const Piece& piece : word) {
        if (!piece.value && FindNoCase(piece.text, placeholder) != std::string::npos) return true;
      }
    }
    return false;
  }

  // Replaces the first placeholder (any case) in the record's text, in word order, by `value`,
  // cut so that the arguments stay within their room. False when there is none.
  bool ReplaceFirst(std::string_view placeholder, std::string_view value) {
    for (Word& word : words_) {
      for (size_t i = 0; i < word.size(); ++i) {
        if (word[i].value) continue;
        size_t at = FindNoCase(word[i].text, placeholder);
        if (at == std::string::npos) continue;
        size_t used = Size() - placeholder.size();
        value = value.substr(0, room_ > used ? room_ - used : 0);
        std::string after = word[i].text.substr(at + placeholder.size());
        word[i].text.resize(at);
        word.insert(word.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                    {Piece{std::string(value), true}, Piece{std::move(after), false}});
        return true;
      }
    }
    return false;
  }

  // The finished arguments: the one that crosses the room is cut, those after it are left out.
  std::vector<std::string> Take() const {
    std::vector<std::string> out;
    size_t used = 0;
    for (const Word& word : words_) {
      size_t blank = out.empty() ? 0 : 1;
      if (used + blank > room_) break;
      std::string text;
      for (const Piece& piece : word) text += piece.text;
      size_t left = room_ - used - blank;
      bool cut = text.size() > left;
      if (cut && left == 0) break;
      if (cut) text.resize(left);
      used += blank + text.size();
      out.push_back(std::move(text));
      if (cut) break;
    }
    return out;
  }

 private:
  size_t Size() const {
    size_t size = words_.empty() ? 0 : words_.size() - 1;
    for (const Word& word : words_) {
      for (const Piece& piece : word) size += piece.text.size();
    }
    return size;
  }

  std::vector<Word> words_;
  size_t room_;
};

// The value after a keyword's header text: leading blanks skipped, up to the delimiter or the
// line end, without trailing CR, LF and blanks. `*end` is where the value ended.
std::string_view KeywordValue(std::string_view message, size_t start, char delimiter, size_t* end) {
  while (start < message.size() && message[start] == ' ') ++start;
  size_t stop = start;
  while (stop < message.size() && message[stop] != '\r' && message[stop] != '\n' &&
         (delimiter == '\0' || message[stop] != delimiter)) {
    ++stop;
  }
  *end = stop;
  return TrimRight(message.substr(start, stop - start), "\r\n ");
}

// Applies the placeholder definitions of the keywords text to the arguments.
void ApplyKeywords(Arguments* arguments, std::string_view keywords, std::string_view message) {
  size_t pos = 0;
  size_t search_from = 0;
  while (pos < keywords.size()) {
    size_t open = keywords.find("%%", pos);
    if (open == std::string_view::npos) break;
    size_t close = keywords.find("%%", open + 2);
    if (close == std::string_view::npos) break;
    std::string_view header = TrimRight(keywords.substr(pos, open - pos), " ");
    std::string_view name = keywords.substr(open + 2, close - open - 2);
    char delimiter = close + 2 < keywords.size() ? keywords[close + 2] : '\0';
    pos = std::min(keywords.size(), close + 3);

    std::string placeholder = "%%" + std::string(name) + "%%";
    if (!arguments->Contains(placeholder)) continue;
    std::string_view value;
    size_t found = message.find(header, std::min(search_from, message.size()));
    if (found != std::string_view::npos) {
      size_t end = 0;
      value = KeywordValue(message, found + header.size(), delimiter, &end);
      search_from = end;
    }
    arguments->ReplaceFirst(placeholder, value);
  }
}

// The rest of the first message line that begins with `name` (any case), without the blanks
// around it.
std::string_view HeaderValue(std::string_view message, std::string_view name) {
  size_t line = 0;
  while (line < message.size()) {
    if (StartsWithNoCase(message.substr(line), name)) {
      size_t start = line + name.size();
      while (start < message.size() && IsBlank(message[start])) ++start;
      size_t stop = message.find_first_of("\r\n", start);
      if (stop == std::string_view::npos) stop = message.size();
      return TrimRight(message.substr(start, stop - start), " \t");
    }
    size_t next = message.find('\n', line);
    if (next == std::string_view::npos) break;
    line = next + 1;
  }
  return {};
}

std::string_view ProgramText(std::string_view application) {
  size_t begin = 0;
  while (begin < application.size() && IsBlank(application[begin])) ++begin;
  application = TrimRight(application.substr(begin), " \t");
  if (application.size() >= 2 && application.front() == '"' && application.back() == '"') {
    application = application.substr(1, application.size() - 2);
  }
  return application;
}

std::string_view CutAtNul(std::string_view text) {
  size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

}  // namespace

bool ReadVersionStamp(const FileReader& read, std::string* text) {
  text->clear();
  uint8_t ident[kElfIdentSize];
  if (!read(0, sizeof ident, ident)) return false;
  if (ident[0] != 0x7f || ident[1] != 'E' || ident[2] != 'L' || ident[3] != 'F') return false;
  if (ident[4] != kElfClass32 && ident[4] != kElfClass64) return false;
  if (ident[5] != kElfDataLittle && ident[5] != kElfDataBig) return false;
  ElfFields elf(read, ident[4] == kElfClass64, ident[5] == kElfDataBig);

  uint64_t table = 0, entry_size = 0, count = 0, names_index = 0;
  bool ok = elf.is64() ? elf.Unsigned(0x28, 8, &table) && elf.Unsigned(0x3a, 2, &entry_size) &&
                             elf.Unsigned(0x3c, 2, &count) && elf.Unsigned(0x3e, 2, &names_index)
                       : elf.Unsigned(0x20, 4, &table) && elf.Unsigned(0x2e, 2, &entry_size) &&
                             elf.Unsigned(0x30, 2, &count) && elf.Unsigned(0x32, 2, &names_index);
  if (!ok || table == 0 || entry_size < (elf.is64() ? 64u : 40u)) return false;
  // Many sections: the true count and name-table index stand in the first section header.
  if (count == 0 || names_index == kSectionIndexExtended) {
    Section first;
    if (!ReadSection(elf, table, entry_size, 0, &first)) return false;
    if (count == 0) count = first.size;
    if (names_index == kSectionIndexExtended) names_index = first.link;
  }
  if (count == 0 || count > kMaxSections || names_index >= count) return false;

  Section names;
  if (!ReadSection(elf, table, entry_size, names_index, &names)) return false;
  for (uint64_t i = 0; i < count; ++i) {
    Section s;
    if (!ReadSection(elf, table, entry_size, i, &s)) return false;
    if (!SectionNameIs(elf, names, s.name, kVersionSection)) continue;
    if (s.type == kSectionNoBits || s.size == 0) return false;
    size_t want = static_cast<size_t>(std::min<uint64_t>(s.size, kMaxVersionText));
    std::string bytes(want, '\0');
    if (!elf.Read(s.offset, want, bytes.data())) {
      // A section that claims more than the file holds: take what is there.
      size_t have = 0;
      while (have < want && elf.Read(s.offset + have, 1, &bytes[have]) && bytes[have] != '\0') {
        ++have;
      }
      bytes.resize(have);
    }
    *text = std::string(CutAtNul(bytes));
    return !text->empty();
  }
  return false;
}

bool GetProgramVersion(std::string_view install_path, std::string_view program_name,
                       std::string* text) {
  text->clear();
  std::string path = std::string(install_path) + "/" + std::string(program_name);
  platform::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  FileReader read = [&fd](uint64_t offset, size_t size, void* out) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return platform::ReadAt(fd.get(), out, size, static_cast<int64_t>(offset));
  };
  return ReadVersionStamp(read, text);
}

int GetWindowsKind() {
  return 1;
}

CommandLine BuildCommandLine(const CommandFields& fields, std::string_view message) {
  message = CutAtNul(message.substr(0, std::min(message.size(), kCommandMessageBytes)));
  message = TrimRight(message, "\r\n. ");

  CommandLine result;
  result.program = std::string(ProgramText(CutAtNul(fields.application)));
  size_t room =
      kCommandLineMax > result.program.size() + 1 ? kCommandLineMax - result.program.size() - 1 : 0;
  // The record's parameters are split into words first; each placeholder is then replaced
  // inside its own word, so that no value from the message can add or split arguments.
  Arguments arguments(CutAtNul(fields.parameters), room);
  if ((fields.options & kCommandUseKeywords) != 0) {
    ApplyKeywords(&arguments, CutAtNul(fields.keywords), message);
  }
  for (const char* placeholder : kHeaderPlaceholders) {
    std::string_view name(placeholder + 2, std::strlen(placeholder) - 4);
    if (!arguments.Contains(placeholder)) continue;
    arguments.ReplaceFirst(placeholder, HeaderValue(message, name));
  }
  result.arguments = arguments.Take();
  result.line = result.program;
  if (!result.arguments.empty()) {
    result.line += ' ';
    result.line += platform::JoinCommandLine(result.arguments);
  }
  return result;
}

int ExpandCommandLine(const CommandFields& fields, const std::string& message_file, pid_t* pid) {
  int fd = open(message_file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::string message(kCommandMessageBytes, '\0');
  size_t have = 0;
  while (have < message.size()) {
    ssize_t n = read(fd, message.data() + have, message.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  close(fd);
  message.resize(have);

  CommandLine command = BuildCommandLine(fields, message);
  if (command.program.empty()) return 0;
  std::vector<std::string> argv;
  argv.reserve(command.arguments.size() + 1);
  argv.push_back(command.program);
  argv.insert(argv.end(), command.arguments.begin(), command.arguments.end());
  return platform::StartProgram(argv, pid) ? 1 : 0;
}

}  // namespace qv
