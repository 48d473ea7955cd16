#include "setup/initial_records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/config.h"
#include "common/recordstore.h"
#include "platform/fileio.h"

namespace qv::setup {
namespace {

// 1 written, 0 the file exists already, -1 it could not be created or written.
int WriteNewRecordFile(const std::string& path, const void* record, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return errno == EEXIST ? 0 : -1;
  bool ok = platform::WriteAll(fd, record, size) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    unlink(path.c_str());
    return -1;
  }
  return 1;
}

// One table's initial record: the data file and its index entry, under the table's lock.
int WriteInitialRecord(const std::string& config_dir, const char* data_name, const char* index_name,
                       std::string_view key, const void* record, size_t size) {
  std::string data = ResolveFileName(config_dir, data_name);
  if (platform::Exists(data)) return 0;
  FileLock lock(LockPathFor(data), LockMode::kExclusive);
  int written = WriteNewRecordFile(data, record, size);
  if (written != 1) return written;
  // The record stands at offset 0, which the index reads as "scan the data file".
  CreateDataIndex(key, 0, ResolveFileName(config_dir, index_name));
  return 1;
}

}  // namespace

int CreateDataIndex(std::string_view key, int32_t value, const std::string& index_path) {
  struct stat st {};
  bool had_entries = stat(index_path.c_str(), &st) == 0 && st.st_size > 0;
  bool inserted = IndexInsert(key, value, index_path);
  return inserted && had_entries ? 1 : 0;
}

EXECSTRUCT ChangePassCommand(std::string_view domain, std::string_view install_dir) {
  EXECSTRUCT c{};
  CopyField(c.Name, "changepass");
  CopyField(c.Domain, std::string(domain));
  CopyField(c.Description, "Password-Manager");
  CopyField(c.Application, std::string(install_dir) + "/qvpass");
  CopyField(c.Parameters, "%%username%% %%oldpass%% %%newpass%%");
  CopyField(c.Keywords, "User: %%username%%\r\nOldPass: %%oldpass%%\r\nNewPass: %%newpass%%\r\n");
  c.Options = 1;
  return c;
}

USERSTRUCT ListServerUser(std::string_view domain) {
  USERSTRUCT u{};
  CopyField(u.Alias, "listserver");
  CopyField(u.Domain, std::string(domain));
  CopyField(u.Name, "List-Manager");
  CopyField(u.Mailbox, "listserver");
  u.Options = kUserListManager;
  return u;
}

int CreateInitialRecords(std::string_view domain, const std::string& install_dir,
                         const std::string& config_dir) {
  EXECSTRUCT command = ChangePassCommand(domain, install_dir);
  USERSTRUCT user = ListServerUser(domain);
  int commands = WriteInitialRecord(config_dir, kCommandsData, kCommandsIndex, command.Name,
                                    &command, sizeof command);
  int users = WriteInitialRecord(config_dir, kUserData, kUserIndex, user.Alias, &user, sizeof user);
  if (commands < 0 || users < 0) return -1;
  return commands + users;
}

}  // namespace qv::setup
