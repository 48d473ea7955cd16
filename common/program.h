// Programs of the system and programs started for mail: the version text every program carries
// in its file, the kind of operating system, and the start of the program behind a command
// address with values taken from the message.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"

namespace qv {

// The ELF section that holds a program's version text (see platform/version_stamp.cc).
inline constexpr char kVersionSection[] = ".qvversion";

// True with the version text of the program `program_name` in `install_path`, read from its file
// without running it; false when the file or the text is missing.
bool GetProgramVersion(std::string_view install_path, std::string_view program_name,
                       std::string* text);

// The version text of an ELF file read through `read` (offset, size, destination; false when
// the bytes are not there). Never reads outside what `read` grants. Exposed for the fuzzer.
using FileReader = std::function<bool(uint64_t offset, size_t size, void* out)>;
bool ReadVersionStamp(const FileReader& read, std::string* text);

// 1 on a system of the NT line or later, as every supported system is.
int GetWindowsKind();

// What program start needs of a commands-table record.
struct CommandFields {
  std::string_view application;  // the program to run
  std::string_view parameters;   // its arguments, with placeholders
  std::string_view keywords;     // placeholder definitions: header text, "%%name%%", delimiter
  uint32_t options = 0;          // kCommandUseKeywords
};

constexpr uint32_t kCommandUseKeywords = 0x1;

// The fields of a commands-table record; valid while the record lives.
inline CommandFields CommandFieldsOf(const EXECSTRUCT& record) {
  return {FieldText(record.Application), FieldText(record.Parameters), FieldText(record.Keywords),
          static_cast<uint32_t>(record.Options)};
}

// Bytes of the message read for the placeholders, and the longest command line.
constexpr size_t kCommandMessageBytes = 4096;
constexpr size_t kCommandLineMax = 4096;

struct CommandLine {
  std::string program;                 // the application, never changed by the message
  std::vector<std::string> arguments;  // the words of the parameters, placeholders replaced
  std::string line;                    // program and arguments as one text, for logs and tests
};

// Builds the command line for a message text. The parameters are split into words like a C
// runtime command line first; placeholders are then replaced inside the words, so that each
// value is part of exactly one argument whatever quotes and blanks it holds, and a missing value
// leaves an empty argument in its place. With kCommandUseKeywords, each definition of `keywords`
// ("User: %%username%%\r" ...) replaces the first "%%username%%" by the text after "User:" in
// the message up to the delimiter or the line end, each search starting where the previous
// value ended. Then each of "%%From:%%", "%%To:%%", "%%Subject:%%", "%%Date:%%",
// "%%Message-ID:%%", "%%Reply-To:%%", "%%MIME-Version:%%", "%%Content-Type:%%",
// "%%Content-Transfer-Encoding:%%", "%%X-Mailer:%%" and "%%Message-Text%%" is replaced by the
// rest of the first message line that begins with its name, without the blanks around it.
// Placeholders compare without regard to case and are looked for only in the record's text,
// never in a value already put in. The program, a blank and the arguments (a blank between two)
// hold at most kCommandLineMax characters: values are cut first. No shell ever reads the
// result. Pure: exposed for tests and the fuzzer.
CommandLine BuildCommandLine(const CommandFields& fields, std::string_view message);

// Reads the first 4096 bytes of the (plain) message file, builds the command line and starts
// the program with the words as its arguments. Nonzero when the program was started; *pid
// receives its id when given. The child is reaped by platform::ReapChildren.
int ExpandCommandLine(const CommandFields& fields, const std::string& message_file,
                      pid_t* pid = nullptr);

}  // namespace qv
