#include "common/program.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/testing/test_env.h"

namespace qv {
namespace {

using namespace std::string_literals;
using testing::ReadFileText;
using testing::TempDir;
using testing::WriteFileText;

constexpr char kRecordFlag[] = "--record-args";
constexpr char kRecordFileVariable[] = "QV_RECORD_FILE";

// When ExpandCommandLine starts this test program with kRecordFlag, it writes the arguments
// that follow, one per line, to the file named in QV_RECORD_FILE and ends before any test runs.
[[maybe_unused]] const bool g_recorder_ran = [] {
  std::string cmdline = ReadFileText("/proc/self/cmdline");
  std::vector<std::string> argv;
  size_t pos = 0;
  while (pos < cmdline.size()) {
    size_t end = cmdline.find('\0', pos);
    if (end == std::string::npos) end = cmdline.size();
    argv.push_back(cmdline.substr(pos, end - pos));
    pos = end + 1;
  }
  if (argv.size() < 2 || argv[1] != kRecordFlag) return false;
  const char* file = std::getenv(kRecordFileVariable);
  if (file != nullptr) {
    std::ofstream out(file, std::ios::binary);
    for (size_t i = 2; i < argv.size(); ++i) out << argv[i] << '\n';
  }
  _exit(0);
}();

std::string SelfPath() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

TEST(GetWindowsKindTest, AlwaysTheNtLine) {
  EXPECT_EQ(GetWindowsKind(), 1);
}

// ---- version stamps ----

TEST(GetProgramVersionTest, ReadsTheStampOfABuiltProgram) {
  const std::string bin = testing::BinDir();
  std::string text;
  ASSERT_TRUE(GetProgramVersion(bin, "qvreg", &text));
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d+\.\d+\.\d+\.\d+)"))) << text;

  EXPECT_FALSE(GetProgramVersion(bin, "no-such-program", &text));
  EXPECT_TRUE(text.empty());
  // An ELF program without the stamp (the test program itself).
  const std::string self = std::filesystem::path(SelfPath()).parent_path().string();
  EXPECT_FALSE(
      GetProgramVersion(self, std::filesystem::path(SelfPath()).filename().string(), &text));
}

TEST(GetProgramVersionTest, NotAProgram) {
  TempDir dir;
  WriteFileText(dir.Sub("text"), "just some text that is not a program at all, long enough");
  WriteFileText(dir.Sub("empty"), "");
  std::filesystem::create_directory(dir.Sub("folder"));
  std::string text;
  EXPECT_FALSE(GetProgramVersion(dir.path(), "text", &text));
  EXPECT_FALSE(GetProgramVersion(dir.path(), "empty", &text));
  EXPECT_FALSE(GetProgramVersion(dir.path(), "folder", &text));
}

// A small ELF image: a null section, the name table and the version section.
struct ElfImage {
  bool is64 = true;
  bool big = false;
  std::string version = "1.2.3.4";
  bool version_terminated = true;
  uint32_t version_type = 1;  // PROGBITS
  std::string section_name = ".qvversion";
  bool extended_count = false;

  std::string bytes;
  size_t section_table = 0;

  void Put(size_t at, uint64_t value, size_t width) {
    if (bytes.size() < at + width) bytes.resize(at + width, '\0');
    for (size_t i = 0; i < width; ++i) {
      size_t index = big ? width - 1 - i : i;
      bytes[at + index] = static_cast<char>((value >> (8 * i)) & 0xff);
    }
  }

  std::string Build() {
    size_t header = is64 ? 64 : 52;
    size_t entry = is64 ? 64 : 40;
    bytes.assign(header, '\0');
    bytes[0] = 0x7f;
    bytes[1] = 'E';
    bytes[2] = 'L';
    bytes[3] = 'F';
    bytes[4] = is64 ? 2 : 1;
    bytes[5] = big ? 2 : 1;
    bytes[6] = 1;
    std::string names = std::string("\0.shstrtab\0", 11) + section_name + '\0';
    size_t names_at = bytes.size();
    bytes += names;
    size_t version_at = bytes.size();
    bytes += version;
    if (version_terminated) bytes += '\0';
    size_t version_size = bytes.size() - version_at;
    while (bytes.size() % 8) bytes += '\0';
    section_table = bytes.size();
    bytes.resize(section_table + 3 * entry, '\0');

    auto section = [&](int index, uint64_t name, uint64_t type, uint64_t offset, uint64_t size,
                       uint64_t link) {
      size_t at = section_table + index * entry;
      Put(at, name, 4);
      Put(at + 4, type, 4);
      Put(at + (is64 ? 24 : 16), offset, is64 ? 8 : 4);
      Put(at + (is64 ? 32 : 20), size, is64 ? 8 : 4);
      Put(at + (is64 ? 40 : 24), link, 4);
    };
    section(0, 0, 0, 0, extended_count ? 3 : 0, extended_count ? 1 : 0);
    section(1, 1, 3, names_at, names.size(), 0);
    section(2, 11, version_type, version_at, version_size, 0);
    if (is64) {
      Put(0x28, section_table, 8);
      Put(0x3a, entry, 2);
      Put(0x3c, extended_count ? 0 : 3, 2);
      Put(0x3e, extended_count ? 0xffff : 1, 2);
    } else {
      Put(0x20, section_table, 4);
      Put(0x2e, entry, 2);
      Put(0x30, extended_count ? 0 : 3, 2);
      Put(0x32, extended_count ? 0xffff : 1, 2);
    }
    return bytes;
  }
};

bool StampOf(const std::string& image, std::string* text) {
  FileReader read = [&image](uint64_t offset, size_t size, void* out) {
    if (offset > image.size() || image.size() - offset < size) return false;
    std::memcpy(out, image.data() + offset, size);
    return true;
  };
  return ReadVersionStamp(read, text);
}

TEST(ReadVersionStampTest, Table) {
  struct Case {
    const char* what;
    ElfImage image;
    bool found;
    std::string text;
  };
  auto with = [](auto change) {
    ElfImage image;
    change(image);
    return image;
  };
  const Case cases[] = {
      {"64-bit little", ElfImage{}, true, "1.2.3.4"},
      {"32-bit little", with([](ElfImage& e) { e.is64 = false; }), true, "1.2.3.4"},
      {"64-bit big", with([](ElfImage& e) { e.big = true; }), true, "1.2.3.4"},
      {"32-bit big", with([](ElfImage& e) { e.is64 = false, e.big = true; }), true, "1.2.3.4"},
      {"many sections", with([](ElfImage& e) { e.extended_count = true; }), true, "1.2.3.4"},
      {"unterminated text", with([](ElfImage& e) { e.version_terminated = false; }), true,
       "1.2.3.4"},
      {"no stamp", with([](ElfImage& e) { e.section_name = ".data"; }), false, ""},
      {"longer name", with([](ElfImage& e) { e.section_name = ".qvversion2"; }), false, ""},
      {"shorter name", with([](ElfImage& e) { e.section_name = ".qvversio"; }), false, ""},
      {"empty text", with([](ElfImage& e) { e.version = ""; }), false, ""},
      {"no bits", with([](ElfImage& e) { e.version_type = 8; }), false, ""},
      {"huge text is cut", with([](ElfImage& e) { e.version = std::string(1000, '9'); }), true,
       std::string(256, '9')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ElfImage image = c.image;
    std::string text = "stale";
    EXPECT_EQ(StampOf(image.Build(), &text), c.found);
    EXPECT_EQ(text, c.text);
  }
}

TEST(ReadVersionStampTest, CorruptImagesNeverReadOutside) {
  ElfImage base;
  const std::string good = base.Build();
  std::string text;
  // Every truncation: nothing is found until the last needed header field is whole, and what
  // is found is the whole text.
  const size_t needed = base.section_table + 2 * 64 + 44;
  for (size_t len = 0; len < good.size(); ++len) {
    bool found = StampOf(good.substr(0, len), &text);
    EXPECT_EQ(found, len >= needed) << len;
    EXPECT_EQ(text, found ? "1.2.3.4" : "");
  }
  // Every byte set to hostile values; only a defined answer is asked for.
  for (size_t i = 0; i < good.size(); ++i) {
    for (unsigned char v : {0x00, 0x01, 0x7f, 0x80, 0xff}) {
      std::string bad = good;
      bad[i] = static_cast<char>(v);
      StampOf(bad, &text);
      EXPECT_LE(text.size(), 256u);
    }
  }
  // Offsets and counts far out of range.
  struct Patch {
    size_t at;
    uint64_t value;
    size_t width;
    bool found;
  };
  const Patch patches[] = {
      {0x28, UINT64_MAX, 8, false},                              // section table offset
      {0x28, UINT64_MAX - 10, 8, false},                         // offset that wraps
      {0x3e, 7, 2, false},                                       // name table beyond the count
      {0x3a, 1, 2, false},                                       // entry size too small
      {base.section_table + 2 * 64 + 24, UINT64_MAX, 8, false},  // version offset
      {base.section_table + 2 * 64 + 32, UINT64_MAX, 8, true},   // version size: text is cut
      {base.section_table + 2 * 64, 0xfffffff0, 4, false},       // version name offset
      {base.section_table + 64 + 24, UINT64_MAX - 5, 8, false},  // name table offset
      // Headers past the end of the file are never reached once the stamp is found.
      {0x3c, 0xfff0, 2, true},
  };
  for (const auto& p : patches) {
    ElfImage image;
    image.Build();
    image.Put(p.at, p.value, p.width);
    EXPECT_EQ(StampOf(image.bytes, &text), p.found) << p.at;
  }
}

TEST(ReadVersionStampTest, SeedImagesOfTheFuzzer) {
  // Images made by a separate tool: one 64-bit little-endian, one 32-bit big-endian.
  for (const char* name : {"elf64le", "elf32be"}) {
    std::string image =
        ReadFileText(std::string(QV_SOURCE_DIR) + "/common/fuzz/corpus/version_stamp_fuzz/" + name);
    ASSERT_FALSE(image.empty()) << name;
    std::string text;
    EXPECT_TRUE(StampOf(image, &text)) << name;
    EXPECT_EQ(text, "1.0.0.0") << name;
  }
}

// ---- command lines ----

struct CommandCase {
  const char* what;
  std::string application;
  std::string parameters;
  std::string keywords;
  uint32_t options;
  std::string message;
  std::string line;
  std::vector<std::string> arguments;
};

const std::string kMessage =
    "Reply-To: reply@example.com\r\n"
    "From: Ann <ann@example.com>\r\n"
    "To:   \tbob@example.com\r\n"
    "Subject: x; rm -rf /\r\n"
    "X-Original-To: nobody\r\n"
    "\r\n"
    "Body line\r\n"
    ".\r\n";

const std::string kPasswordMail =
    "From: ann@example.com\r\nSubject: password\r\n\r\n"
    "User: ann\r\nOldPass: old1\r\nNewPass:   new2   \r\n";
const std::string kPasswordKeywords =
    "User: %%username%%\r\nOldPass: %%oldpass%%\r\nNewPass: %%newpass%%\r\n";

TEST(BuildCommandLineTest, Table) {
  const CommandCase cases[] = {
      {"plain", "/bin/prog", "a b", "", 0, kMessage, "/bin/prog a b", {"a", "b"}},
      {"no parameters", "/bin/prog", "", "", 0, kMessage, "/bin/prog", {}},
      {"a value is one argument",
       "/bin/prog",
       "%%Subject:%%",
       "",
       0,
       kMessage,
       "/bin/prog \"x; rm -rf /\"",
       {"x; rm -rf /"}},
      {"quotes in a value never end its argument",
       "/p",
       "\"%%Subject:%%\" fixed",
       "",
       0,
       "Subject: hello\" --injected \"/etc/passwd\r\n",
       "/p \"hello\\\" --injected \\\"/etc/passwd\" fixed",
       {"hello\" --injected \"/etc/passwd", "fixed"}},
      {"backslashes and a trailing quote",
       "/p",
       "%%Subject:%%",
       "",
       0,
       "Subject: a\\\" \\\"\r\n",
       "/p \"a\\\\\\\" \\\\\\\"\"",
       {"a\\\" \\\""}},
      {"a placeholder inside a word",
       "/p",
       "--subject=%%Subject:%%. \"to %%To:%% now\"",
       "",
       0,
       kMessage,
       "/p \"--subject=x; rm -rf /.\" \"to bob@example.com now\"",
       {"--subject=x; rm -rf /.", "to bob@example.com now"}},
      {"a value is never expanded again",
       "/p",
       "%%Subject:%% %%To:%%",
       "",
       0,
       "Subject: %%To:%%\r\nTo: bob\r\n",
       "/p %%To:%% bob",
       {"%%To:%%", "bob"}},
      {"To is not taken from Reply-To",
       "/p",
       "%%To:%%",
       "",
       0,
       kMessage,
       "/p bob@example.com",
       {"bob@example.com"}},
      {"placeholders ignore case",
       "/p",
       "%%reply-to:%% %%FROM:%%",
       "",
       0,
       kMessage,
       "/p reply@example.com \"Ann <ann@example.com>\"",
       {"reply@example.com", "Ann <ann@example.com>"}},
      {"missing header gives an empty argument",
       "/p",
       "before %%Date:%% after",
       "",
       0,
       kMessage,
       "/p before \"\" after",
       {"before", "", "after"}},
      {"only the first occurrence",
       "/p",
       "%%To:%% %%To:%%",
       "",
       0,
       kMessage,
       "/p bob@example.com %%To:%%",
       {"bob@example.com", "%%To:%%"}},
      {"header names ignore case",
       "/p",
       "%%Subject:%%",
       "",
       0,
       "SUBJECT:hello\r\n",
       "/p hello",
       {"hello"}},
      {"trailing blanks and dots of the message",
       "/p",
       "%%Subject:%%",
       "",
       0,
       "Subject: end. . .\r\n.\r\n",
       "/p end",
       {"end"}},
      {"message text is searched by its name",
       "/p",
       "%%Message-Text%%",
       "",
       0,
       "Subject: s\r\nMessage-Text: the text\r\n",
       "/p \": the text\"",
       {": the text"}},
      {"trailing blanks of the line", "/p", "a   ", "", 0, "", "/p a", {"a"}},
      {"blanks around a value",
       "/p",
       "%%Subject:%%",
       "",
       0,
       "Subject: \t say \"hi there\" \t\r\n",
       "/p \"say \\\"hi there\\\"\"",
       {"say \"hi there\""}},
      {"a NUL ends the message",
       "/p",
       "%%Subject:%%|%%To:%%",
       "",
       0,
       "Subject: a\0b\r\nTo: c\r\n"s,
       "/p a|",
       {"a|"}},
      {"the program is never expanded",
       "/bin/%%Subject:%%",
       "%%Subject:%%",
       "",
       0,
       kMessage,
       "/bin/%%Subject:%% \"x; rm -rf /\"",
       {"x; rm -rf /"}},
      {"quoted program with a blank", "\"/opt/my prog\"", "a", "", 0, "", "/opt/my prog a", {"a"}},
      // Placeholder definitions.
      {"password mail",
       "/q",
       "%%username%% %%oldpass%% %%newpass%%",
       kPasswordKeywords,
       1,
       kPasswordMail,
       "/q ann old1 new2",
       {"ann", "old1", "new2"}},
      {"a missing value keeps the places of the others",
       "/q",
       "%%username%% %%oldpass%% %%newpass%%",
       kPasswordKeywords,
       1,
       "User: ann\r\nNewPass: new2\r\n",
       "/q ann \"\" new2",
       {"ann", "", "new2"}},
      {"a definition's value is never expanded again",
       "/q",
       "%%username%% %%Subject:%%",
       kPasswordKeywords,
       1,
       "Subject: s\r\nUser: %%Subject:%% x\r\n",
       "/q \"%%Subject:%% x\" s",
       {"%%Subject:%% x", "s"}},
      {"definitions off",
       "/q",
       "%%username%%",
       kPasswordKeywords,
       0,
       kPasswordMail,
       "/q %%username%%",
       {"%%username%%"}},
      {"definitions ignore case",
       "/q",
       "%%USERNAME%%",
       kPasswordKeywords,
       1,
       kPasswordMail,
       "/q ann",
       {"ann"}},
      {"delimiter ends the value",
       "/q",
       "%%c%%",
       "Code: %%c%%,",
       1,
       "Code:  12,34\r\n",
       "/q 12",
       {"12"}},
      {"each search goes on after the last value",
       "/q",
       "%%a%% %%b%%",
       "Item: %%a%%\rItem: %%b%%\r",
       1,
       "Item: one\r\nItem: two\r\n",
       "/q one two",
       {"one", "two"}},
      {"an unused definition does not move the search",
       "/q",
       "%%b%%",
       "Item: %%zzz%%\rItem: %%b%%\r",
       1,
       "Item: one\r\nItem: two\r\n",
       "/q one",
       {"one"}},
      {"missing header gives an empty value",
       "/q",
       "<%%a%%>",
       "Nothing: %%a%%\r",
       1,
       "Item: one\r\n",
       "/q <>",
       {"<>"}},
      {"unterminated definition is ignored",
       "/q",
       "%%a%%",
       "Item: %%a",
       1,
       "Item: one\r\n",
       "/q %%a%%",
       {"%%a%%"}},
      {"definitions run before the header table",
       "/q",
       "%%k%% %%Subject:%%",
       "Subject: %%k%%\r",
       1,
       "Subject: s\r\n",
       "/q s s",
       {"s", "s"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CommandLine got =
        BuildCommandLine({c.application, c.parameters, c.keywords, c.options}, c.message);
    EXPECT_EQ(got.line, c.line);
    EXPECT_EQ(got.arguments, c.arguments);
  }
}

TEST(BuildCommandLineTest, LimitsOfMessageAndLine) {
  std::string far = std::string(5000, 'x') + "\r\nSubject: too far\r\n";
  EXPECT_EQ(BuildCommandLine({"/p", "[%%Subject:%%]", "", 0}, far).line, "/p []");

  // The program, a blank and the arguments with a blank between two stay within the limit:
  // values are cut so that every word of the record keeps its place.
  auto length = [](const CommandLine& command) {
    size_t n = command.program.size();
    for (const std::string& argument : command.arguments) n += 1 + argument.size();
    return n;
  };
  std::string huge = "Subject: " + std::string(4090, 'y') + "\r\n";
  CommandFields fields{"/p", "%%Subject:%% %%Subject:%% %%Subject:%% tail", "", 0};
  CommandLine got = BuildCommandLine(fields, huge);
  EXPECT_EQ(length(got), kCommandLineMax);
  ASSERT_EQ(got.arguments.size(), 4u);
  EXPECT_EQ(got.arguments[0], std::string(4096 - 3 - 2 * 12 - 4 - 3, 'y'));
  EXPECT_EQ(got.arguments[1], "%%Subject:%%");  // only the first placeholder is replaced
  EXPECT_EQ(got.arguments[2], "%%Subject:%%");
  EXPECT_EQ(got.arguments[3], "tail");
  // Words of the record beyond the limit: the one that crosses it is cut, the rest left out.
  got = BuildCommandLine(
      {"/p", std::string(3000, 'a') + " " + std::string(3000, 'b') + " c", "", 0}, "");
  EXPECT_EQ(got.arguments,
            (std::vector<std::string>{std::string(3000, 'a'), std::string(4096 - 3 - 3001, 'b')}));

  // Many definitions that each insert a long value stay bounded.
  std::string keywords;
  std::string parameters;
  for (int i = 0; i < 100; ++i) {
    keywords += "Subject: %%k" + std::to_string(i) + "%%\r";
    parameters += "%%k" + std::to_string(i) + "%% ";
  }
  got = BuildCommandLine({"/p", parameters, keywords, 1}, huge);
  EXPECT_LE(length(got), kCommandLineMax);
}

TEST(CommandFieldsOfTest, TakesTheFieldsOfARecord) {
  EXECSTRUCT record{};
  CopyField(record.Application, "/opt/quorvane/qvpass");
  std::memset(record.Parameters, 'p', sizeof record.Parameters);  // full width, no zero
  CopyField(record.Keywords, kPasswordKeywords);
  record.Options = 1;
  CommandFields fields = CommandFieldsOf(record);
  EXPECT_EQ(fields.application, "/opt/quorvane/qvpass");
  EXPECT_EQ(fields.parameters, std::string(sizeof record.Parameters, 'p'));
  EXPECT_EQ(fields.keywords, kPasswordKeywords);
  EXPECT_EQ(fields.options, kCommandUseKeywords);
}

// ---- program start ----

class ExpandCommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    record_ = dir_.Sub("args");
    setenv(kRecordFileVariable, record_.c_str(), 1);
  }
  void TearDown() override { unsetenv(kRecordFileVariable); }

  // Runs the command for the message and returns the recorded arguments.
  std::vector<std::string> Run(const std::string& parameters, const std::string& message,
                               const std::string& keywords = "", uint32_t options = 0) {
    std::string spool = dir_.Sub("spool");
    WriteFileText(spool, message);
    std::string self = SelfPath();
    std::string params = std::string(kRecordFlag) + " " + parameters;
    pid_t pid = 0;
    EXPECT_NE(ExpandCommandLine({self, params, keywords, options}, spool, &pid), 0);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<std::string> args;
    std::string text = ReadFileText(record_);
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      args.push_back(text.substr(pos, end - pos));
      pos = end + 1;
    }
    return args;
  }

  TempDir dir_;
  std::string record_;
};

TEST_F(ExpandCommandLineTest, HeaderValuesNeverReachAShell) {
  std::string marker = dir_.Sub("pwned");
  std::string message = "Subject: x; touch " + marker + "\r\nFrom: $(touch " + marker +
                        "2) `touch " + marker + "3` | tee " + marker + "4 > " + marker +
                        "5\r\n\r\nbody\r\n.\r\n";
  std::vector<std::string> args = Run("%%Subject:%% %%From:%%", message);
  std::vector<std::string> expected = {
      "x; touch " + marker,
      "$(touch " + marker + "2) `touch " + marker + "3` | tee " + marker + "4 > " + marker + "5"};
  EXPECT_EQ(args, expected);
  for (const char* suffix : {"", "2", "3", "4", "5"}) {
    EXPECT_FALSE(std::filesystem::exists(marker + suffix)) << suffix;
  }
}

TEST_F(ExpandCommandLineTest, PasswordMailGivesThreeArguments) {
  std::vector<std::string> args =
      Run("%%username%% %%oldpass%% %%newpass%%", kPasswordMail, kPasswordKeywords, 1);
  EXPECT_EQ(args, (std::vector<std::string>{"ann", "old1", "new2"}));
}

TEST_F(ExpandCommandLineTest, NothingStartsWithoutAProgramOrMessage) {
  WriteFileText(dir_.Sub("spool"), "Subject: s\r\n");
  EXPECT_EQ(ExpandCommandLine({"", "a", "", 0}, dir_.Sub("spool")), 0);
  EXPECT_EQ(ExpandCommandLine({"   ", "a", "", 0}, dir_.Sub("spool")), 0);
  EXPECT_EQ(ExpandCommandLine({dir_.Sub("no-such-program"), "a", "", 0}, dir_.Sub("spool")), 0);
  EXPECT_EQ(ExpandCommandLine({SelfPath(), "a", "", 0}, dir_.Sub("no-such-spool")), 0);
}

}  // namespace
}  // namespace qv
