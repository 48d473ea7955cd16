// The installation's folders: created or taken over only when they are really folders of the
// installing user (or of the services' user), made private, and what they hold handed over
// without following a link.
#include "setup/install_folders.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "common/testing/test_env.h"

namespace qv::setup {
namespace {

using qv::testing::ReadFileText;
using qv::testing::TempDir;
using qv::testing::WriteFileText;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

uid_t OwnerOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

const passwd* OtherUser() {
  return geteuid() == 0 ? getpwnam("nobody") : nullptr;
}

TEST(SecureFolder, CreatesTightensOrRefuses) {
  TempDir dir;
  const passwd* other = OtherUser();
  struct Case {
    const char* what;
    std::function<std::string()> prepare;  // the path to secure
    bool ok;
    FolderChange change;
    const char* error;  // part of the refusal
  } cases[] = {
      {"missing, with missing parents", [&] { return dir.Sub("a/b/config"); }, true,
       FolderChange::kCreated, ""},
      {"open to all",
       [&] {
         std::filesystem::create_directory(dir.Sub("open"));
         chmod(dir.Sub("open").c_str(), 0777);
         return dir.Sub("open");
       },
       true, FolderChange::kTightened, ""},
      {"already private",
       [&] {
         std::filesystem::create_directory(dir.Sub("private"));
         chmod(dir.Sub("private").c_str(), 0700);
         return dir.Sub("private");
       },
       true, FolderChange::kNone, ""},
      {"a link to a folder",
       [&] {
         std::filesystem::create_directory(dir.Sub("target"));
         chmod(dir.Sub("target").c_str(), 0755);
         std::filesystem::create_directory_symlink(dir.Sub("target"), dir.Sub("link"));
         return dir.Sub("link");
       },
       false, FolderChange::kNone, "is not a folder"},
      {"a file",
       [&] {
         WriteFileText(dir.Sub("file"), "x");
         return dir.Sub("file");
       },
       false, FolderChange::kNone, "is not a folder"},
      {"the machine's folder", [] { return std::string("/etc/"); }, false, FolderChange::kNone,
       "of the machine's own"},
      {"the root", [] { return std::string("/"); }, false, FolderChange::kNone,
       "of the machine's own"},
      {"a relative path", [] { return std::string("config"); }, false, FolderChange::kNone,
       "of the machine's own"},
      {"another user's",
       [&] {
         std::filesystem::create_directory(dir.Sub("theirs"));
         chmod(dir.Sub("theirs").c_str(), 0777);
         if (other != nullptr) chown(dir.Sub("theirs").c_str(), other->pw_uid, other->pw_gid);
         return other != nullptr ? dir.Sub("theirs") : std::string("/usr");
       },
       false, FolderChange::kNone, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = c.prepare();
    mode_t before = ModeOf(path);
    Result<FolderChange> got = SecureFolder(path, 0700, InstallingUser());
    ASSERT_EQ(got.ok(), c.ok) << got.error();
    if (c.ok) {
      EXPECT_EQ(*got, c.change);
      EXPECT_EQ(ModeOf(path), 0700u);
      EXPECT_EQ(OwnerOf(path), geteuid());
    } else {
      EXPECT_NE(got.error().find(c.error), std::string::npos) << got.error();
      EXPECT_EQ(ModeOf(path), before);  // a refused folder is left as it was
    }
  }
  EXPECT_EQ(ModeOf(dir.Sub("target")), 0755u);  // the link's target is not touched
  if (other != nullptr) {
    EXPECT_EQ(OwnerOf(dir.Sub("theirs")), other->pw_uid);
    // Given to that user as the services' user, it is accepted and stays theirs.
    Result<FolderChange> theirs =
        SecureFolder(dir.Sub("theirs"), 0700, FolderOwner{other->pw_uid, other->pw_gid});
    ASSERT_TRUE(theirs) << theirs.error();
    EXPECT_EQ(ModeOf(dir.Sub("theirs")), 0700u);
    EXPECT_EQ(OwnerOf(dir.Sub("theirs")), other->pw_uid);
  }
}

TEST(HandOverContents, EverythingBelowBecomesPrivateButLinksAreNotFollowed) {
  TempDir dir, outside;
  std::string victim = outside.Sub("victim");
  WriteFileText(victim, "precious");
  chmod(victim.c_str(), 0644);
  std::string top = dir.Sub("config");
  std::filesystem::create_directories(top + "/lists/deep");
  WriteFileText(top + "/USER.DAT", "records");
  WriteFileText(top + "/lists/deep/members.txt", "a@b");
  WriteFileText(top + "/already", "x");
  chmod((top + "/USER.DAT").c_str(), 0644);
  chmod((top + "/lists/deep/members.txt").c_str(), 0666);
  chmod((top + "/already").c_str(), 0600);
  chmod((top + "/lists").c_str(), 0777);
  std::filesystem::create_symlink(victim, top + "/USER.IDX");
  std::filesystem::create_directory_symlink(outside.path(), top + "/away");

  const passwd* other = OtherUser();
  FolderOwner owner =
      other != nullptr ? FolderOwner{other->pw_uid, other->pw_gid} : InstallingUser();
  Result<int> changed = HandOverContents(top, owner);
  ASSERT_TRUE(changed) << changed.error();
  // USER.DAT, members.txt, lists and deep; with another owner "already" as well.
  EXPECT_EQ(*changed, other != nullptr ? 5 : 4);
  for (const char* path : {"/USER.DAT", "/lists/deep/members.txt", "/already"}) {
    EXPECT_EQ(ModeOf(top + path), 0600u) << path;
    EXPECT_EQ(OwnerOf(top + path), owner.uid) << path;
  }
  EXPECT_EQ(ModeOf(top + "/lists"), 0700u);
  EXPECT_EQ(ModeOf(victim), 0644u);
  EXPECT_EQ(OwnerOf(victim), geteuid());
  EXPECT_EQ(OwnerOf(outside.path()), geteuid());
  EXPECT_EQ(ReadFileText(victim), "precious");
  // Run again, nothing is left to change.
  EXPECT_EQ(*HandOverContents(top, owner), 0);
  EXPECT_FALSE(HandOverContents(top + "/away", owner));  // a link is not a folder to take
}

}  // namespace
}  // namespace qv::setup
