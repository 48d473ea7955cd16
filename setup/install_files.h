// The installer's files: its progress and failure lines, path tests, and the programs it copies
// into an installation with the manifest of what it copied.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "common/result.h"
#include "setup/installer.h"
#include "setup/setup_texts.h"

namespace qv::setup {

// The list of the files an installation got from qvsetup, kept in the installation folder.
inline constexpr char kManifestName[] = "installed-files.txt";

// Progress and failure lines.
class Reporter {
 public:
  Reporter(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}
  void Line(const char* word, const std::string& what) {
    std::fprintf(out_, kLine, word, what.c_str());
  }
  void Status(const char* service, const std::string& what) {
    std::fprintf(out_, kStatusLine, service, what.c_str());
  }
  void Text(const std::string& text) { std::fputs(text.c_str(), out_); }
  int Fail(const std::string& text) {
    std::fflush(out_);
    std::fprintf(err_, "%s%s\n", kErrPrefix, text.c_str());
    return kExitFailed;
  }
  std::FILE* out() { return out_; }

 private:
  std::FILE* out_;
  std::FILE* err_;
};

std::string ErrnoText();
bool IsDirectory(const std::string& path);
bool SameFile(const std::string& a, const std::string& b);
// The absolute, normalized path without a trailing "/".
std::string Absolute(const std::string& path);
// The folder of the running program.
std::string SelfDirectory();

// The names in an installation's manifest, and the manifest written sorted without repeats.
std::vector<std::string> ReadManifest(const std::string& prefix);
bool WriteManifest(const std::string& prefix, std::vector<std::string> names);

// Copies a program unless the same bytes are there already; the new file replaces the old one
// by rename, so a running program is never overwritten in place. True in *changed when copied.
Status CopyProgram(const std::string& from, const std::string& to, bool* changed);

}  // namespace qv::setup
