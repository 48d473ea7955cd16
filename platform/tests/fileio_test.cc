// Reading and writing files where another user may have planted links: neither the whole-file
// writer nor the registry writes through a link beside its target, and both give their files the
// mode asked for whatever the creation mask; the whole-file reader reads no link unless asked.
#include "platform/fileio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "common/testing/test_env.h"
#include "platform/registry.h"

namespace qv::platform {
namespace {

using qv::testing::ReadFileText;
using qv::testing::ScopedSystemRoot;
using qv::testing::TempDir;
using qv::testing::WriteFileText;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// Names a temporary file of the writer might take, as a hostile user would plant them.
const char* const kPlanted[] = {".tmp", ".tmp.tmp", ".XXXXXX.tmp"};

TEST(WriteFileAtomically, NeverWritesThroughAPlantedLinkAndSetsTheModeAskedFor) {
  struct Case {
    int mode;
    mode_t mask;
  } cases[] = {{0600, 022}, {0644, 077}, {0755, 0}, {0600, 0277}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    TempDir dir;
    std::string victim = dir.Sub("victim"), path = dir.Sub("settings");
    WriteFileText(victim, "precious\n");
    for (const char* suffix : kPlanted)
      ASSERT_EQ(symlink(victim.c_str(), (path + suffix).c_str()), 0);
    mode_t old = umask(c.mask);
    bool ok = WriteFileAtomically(path, "new text\n", c.mode);
    umask(old);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ReadFileText(path), "new text\n");
    EXPECT_EQ(ModeOf(path), static_cast<mode_t>(c.mode));
    EXPECT_EQ(ReadFileText(victim), "precious\n");
    // Only the planted links, the victim and the new file: no temporary file stays behind.
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
      (void)e;
      ++entries;
    }
    EXPECT_EQ(entries, 2 + static_cast<int>(std::size(kPlanted)));
  }
}

TEST(WriteFileAtomically, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  TempDir dir;
  std::string path = dir.Sub("missing/settings");
  EXPECT_FALSE(WriteFileAtomically(path, "x", 0600));
  EXPECT_FALSE(std::filesystem::exists(dir.Sub("missing")));
  // A folder in the file's place: the rename fails and the temporary goes again.
  std::filesystem::create_directory(dir.Sub("taken"));
  WriteFileText(dir.Sub("taken/inside"), "kept");
  EXPECT_FALSE(WriteFileAtomically(dir.Sub("taken"), "x", 0600));
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

// The whole-file reader opens once and reads that descriptor: never through a link unless
// asked, never waiting on a pipe, never beyond its limit; an open file is read from its start,
// and as it is even when another file has taken its name since.
TEST(ReadWholeFile, OneDescriptorNoLinksNoPipesBounded) {
  TempDir dir;
  std::string file = dir.Sub("file"), link = dir.Sub("link"), fifo = dir.Sub("fifo");
  WriteFileText(file, "0123456789");
  ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string text = "old";
  EXPECT_TRUE(ReadWholeFile(file, &text));
  EXPECT_EQ(text, "0123456789");
  text = "old";
  EXPECT_FALSE(ReadWholeFile(link, &text));
  EXPECT_EQ(text, "");
  EXPECT_TRUE(ReadWholeFile(link, &text, Links::kFollow));
  EXPECT_EQ(text, "0123456789");
  EXPECT_FALSE(ReadWholeFile(fifo, &text, Links::kFollow));
  EXPECT_FALSE(ReadWholeFile(dir.path(), &text));
  EXPECT_FALSE(ReadWholeFile(dir.Sub("missing"), &text));
  EXPECT_TRUE(ReadWholeFile(file, &text, Links::kAsThemselves, 10));
  EXPECT_FALSE(ReadWholeFile(file, &text, Links::kAsThemselves, 9));
  EXPECT_EQ(text, "");

  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lseek(fd, 4, SEEK_SET), 4);
  WriteFileText(dir.Sub("other"), "swapped in");
  ASSERT_EQ(rename(dir.Sub("other").c_str(), file.c_str()), 0);
  EXPECT_TRUE(ReadWholeFd(fd, &text));
  EXPECT_EQ(text, "0123456789");
  EXPECT_FALSE(ReadWholeFd(fd, &text, 4));
  close(fd);
  EXPECT_TRUE(ReadWholeFile(file, &text));
  EXPECT_EQ(text, "swapped in");
}

TEST(RegistryFile, PlantedLinksAreNotFollowedAndAnOwnerOfItsOwnIsKept) {
  ScopedSystemRoot root;
  std::string file = reg::RegistryFilePath();
  TempDir outside;
  std::string victim = outside.Sub("victim");
  WriteFileText(victim, "precious\n");
  for (const char* suffix : kPlanted)
    ASSERT_EQ(symlink(victim.c_str(), (file + suffix).c_str()), 0);
  reg::Key key;
  ASSERT_EQ(reg::CreateKey("K", "", &key), reg::kSuccess);
  ASSERT_EQ(reg::SetString(&key, "Password", "secret"), reg::kSuccess);
  EXPECT_EQ(ReadFileText(victim), "precious\n");
  EXPECT_EQ(ModeOf(file), 0600u);
  // An older registry readable by all becomes private with the next change.
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  ASSERT_EQ(reg::SetString(&key, "Password", "other"), reg::kSuccess);
  EXPECT_EQ(ModeOf(file), 0600u);

  // The services' own user keeps its file when root changes a setting.
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and the user nobody";
  ASSERT_EQ(chown(file.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ASSERT_EQ(reg::SetString(&key, "Password", "third"), reg::kSuccess);
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody->pw_uid);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

}  // namespace
}  // namespace qv::platform
