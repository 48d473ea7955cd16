// The dial-up layer librasapi32.so. A connection of an entry exists while its link is up (or its
// interface is present but down, the disconnected state); its handle is derived from the entry's
// name, so every process sees the same handle for the same link. The phone book is read anew on
// every call. The functions may be called from several threads at once.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/fileio.h"
#include "platform/rasapi.h"
#include "platform/rasapi_phonebook.h"
#include "platform/spawn.h"
#include "platform/sysroot.h"

namespace qv::platform::ras {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kDefaultNetRoot[] = "/sys/class/net";
constexpr auto kProbeInterval = milliseconds(250);
constexpr auto kStopGrace = milliseconds(1000);

std::atomic<uint32_t> g_dial_limit_ms{kDialLimitMs};
std::mutex g_state_mutex;
std::string g_net_root = kDefaultNetRoot;

struct ErrorText {
  uint32_t error;
  const char* text;
};
constexpr ErrorText kErrorTexts[] = {
    {kErrInvalidHandle, "The connection handle is not valid."},
    {kErrNotEnoughMemory, "Not enough memory is available."},
    {kErrInvalidParameter, "A parameter is not valid."},
    {kErrCallNotImplemented, "The function is not available."},
    {kErrSemTimeout, "The wait for the dial-up lock timed out."},
    {kErrInsufficientBuffer, "The buffer is too small."},
    {kErrModNotFound, "The dial-up library could not be found."},
    {kErrPortAlreadyOpen, "The link of this phone book entry is already up."},
    {kErrBufferTooSmall, "The buffer is too small."},
    {kErrDeviceDoesNotExist, "The command of the phone book entry could not be started."},
    {kErrCannotFindEntry, "The phone book entry could not be found."},
    {kErrCorruptPhonebook, "The phone book entry is incomplete or not valid."},
    {kErrDisconnection, "The link did not come up: the command failed."},
    {kErrInvalidSize, "The size of the structure is not valid."},
    {kErrRequestTimeout, "The link did not come up in time; the dial was stopped."},
};

uint32_t DialLimitMs() {
  return g_dial_limit_ms.load();
}

std::string NetRoot() {
  std::lock_guard<std::mutex> lock(g_state_mutex);
  return g_net_root;
}

std::string PhonebookPath(const char* phonebook) {
  if (phonebook != nullptr && *phonebook != '\0') return phonebook;
  return SystemPath(kPhonebookName);
}

void CopyField(char* dest, size_t size, const std::string& text) {
  size_t n = std::min(text.size(), size - 1);
  std::memcpy(dest, text.data(), n);
  std::memset(dest + n, 0, size - n);
}

// The entry name in a fixed field; false when the field holds no terminator.
bool FieldText(const char* field, size_t size, std::string* out) {
  size_t n = strnlen(field, size);
  if (n == size) return false;
  out->assign(field, n);
  return true;
}

// The spawn helper remembers every child it started until ReapChildren collects the ended ones;
// that must not happen to a child a call here is still waiting for, or its exit code would be
// lost. So ReapChildren runs only while no call waits for a child: a call announces its child
// before starting it and withdraws it once it has collected it.
std::mutex g_waiting_mutex;
int g_waiting = 0;

void AnnounceChild() {
  std::lock_guard<std::mutex> lock(g_waiting_mutex);
  ++g_waiting;
}

void WithdrawChild() {
  std::lock_guard<std::mutex> lock(g_waiting_mutex);
  if (--g_waiting == 0) ReapChildren();
}

// Starts the command line through the spawn helper; the child is announced on success.
bool StartChild(const std::string& line, pid_t* pid) {
  AnnounceChild();
  if (StartCommandLine(line, pid)) return true;
  WithdrawChild();
  return false;
}

// Waits for the child to end until the deadline; true when it ended (its exit code, or -1 when
// it ended by a signal, goes to *code).
bool WaitChild(pid_t pid, Clock::time_point deadline, int* code) {
  auto pause = milliseconds(5);
  while (true) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      *code = (r == pid && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
      return true;
    }
    auto now = Clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, milliseconds(50));
  }
}

// Ends a child: SIGTERM, then SIGKILL when it does not end within the grace time.
void StopChild(pid_t pid) {
  kill(pid, SIGTERM);
  int code = 0;
  if (WaitChild(pid, Clock::now() + kStopGrace, &code)) return;
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

enum class CommandEnd { kExited, kStopped, kNotStarted };

// Runs the command line (no shell) and waits up to the limit, stopping it there.
CommandEnd RunCommand(const std::string& line, uint32_t limit_ms, int* code) {
  pid_t pid = 0;
  if (!StartChild(line, &pid)) return CommandEnd::kNotStarted;
  CommandEnd end = CommandEnd::kExited;
  if (!WaitChild(pid, Clock::now() + milliseconds(limit_ms), code)) {
    StopChild(pid);
    end = CommandEnd::kStopped;
  }
  WithdrawChild();
  return end;
}

enum class Link { kNone, kDown, kUp };

// True when the entry says how to tell the state of its link.
bool CanProbe(const PhonebookEntry& e) {
  if (!e.interface.empty()) return ValidInterfaceName(e.interface);
  return !e.status.empty();
}

Link Probe(const PhonebookEntry& e) {
  if (!e.interface.empty()) {
    if (!ValidInterfaceName(e.interface)) return Link::kNone;
    std::string text;
    if (!ReadWholeFile(NetRoot() + "/" + e.interface + "/operstate", &text)) return Link::kNone;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return (text == "up" || text == "unknown") ? Link::kUp : Link::kDown;
  }
  if (e.status.empty()) return Link::kNone;
  int code = -1;
  uint32_t limit = std::min(kStatusLimitMs, DialLimitMs());
  return RunCommand(e.status, limit, &code) == CommandEnd::kExited && code == 0 ? Link::kUp
                                                                                : Link::kNone;
}

std::string DeviceName(const PhonebookEntry& e) {
  return e.interface.empty() ? std::string("command") : e.interface;
}

// The entries that have a connection, with its state.
std::vector<std::pair<const PhonebookEntry*, Link>> Connections(
    const std::vector<PhonebookEntry>& book) {
  std::vector<std::pair<const PhonebookEntry*, Link>> out;
  for (const PhonebookEntry& e : book) {
    Link link = Probe(e);
    if (link != Link::kNone) out.emplace_back(&e, link);
  }
  return out;
}

// Runs the dial command and waits for the link while the command runs and after it ended.
uint32_t WaitForLink(const PhonebookEntry& e, pid_t pid, bool* running) {
  auto deadline = Clock::now() + milliseconds(DialLimitMs());
  int code = 0;
  while (true) {
    if (*running && WaitChild(pid, Clock::now(), &code)) {
      *running = false;
      // A command that failed brought nothing up; one that succeeded may have started the link
      // in the background, which is then waited for.
      if (code != 0) return Probe(e) == Link::kUp ? kOk : kErrDisconnection;
    }
    if (Probe(e) == Link::kUp) return kOk;
    auto now = Clock::now();
    if (now >= deadline) {
      if (*running) StopChild(pid);
      *running = false;
      return kErrRequestTimeout;
    }
    auto wake = std::min<Clock::time_point>(now + kProbeInterval, deadline);
    if (*running) {
      if (WaitChild(pid, wake, &code)) {
        *running = false;
        if (code != 0) return Probe(e) == Link::kUp ? kOk : kErrDisconnection;
      }
    } else {
      std::this_thread::sleep_until(wake);
    }
  }
}

uint32_t Dial(const PhonebookEntry& e, HRASCONN* handle) {
  if (e.dial.empty() || !CanProbe(e)) return kErrCorruptPhonebook;
  if (Probe(e) != Link::kNone) return kErrPortAlreadyOpen;
  pid_t pid = 0;
  if (!StartChild(e.dial, &pid)) return kErrDeviceDoesNotExist;
  *handle = HandleOf(e.name);
  bool running = true;
  uint32_t result = WaitForLink(e, pid, &running);
  // A command still running is the link itself (it stays in the foreground); the hang-up command
  // ends it, and the spawn helper collects it then.
  WithdrawChild();
  return result;
}

uint32_t HangUp(const PhonebookEntry& e) {
  if (e.hang_up.empty()) return kErrCorruptPhonebook;
  int code = 0;
  switch (RunCommand(e.hang_up, DialLimitMs(), &code)) {
    case CommandEnd::kNotStarted:
      return kErrDeviceDoesNotExist;
    case CommandEnd::kStopped:
      return kErrRequestTimeout;
    case CommandEnd::kExited:
      break;
  }
  return code == 0 ? kOk : kErrDisconnection;
}

}  // namespace
}  // namespace qv::platform::ras

using namespace qv::platform::ras;

extern "C" {

uint32_t RasDialA(void*, const char* phonebook, RASDIALPARAMSA* params, uint32_t, void*,
                  HRASCONN* handle) {
  if (handle == nullptr || params == nullptr) return kErrInvalidParameter;
  *handle = 0;
  if (params->dwSize != sizeof(RASDIALPARAMSA)) return kErrInvalidSize;
  std::string name;
  if (!FieldText(params->szEntryName, sizeof params->szEntryName, &name))
    return kErrInvalidParameter;
  auto book = ReadPhonebook(PhonebookPath(phonebook));
  const PhonebookEntry* e = FindEntry(book, name);
  if (e == nullptr) return kErrCannotFindEntry;
  return Dial(*e, handle);
}

uint32_t RasHangUpA(HRASCONN handle) {
  auto book = ReadPhonebook(PhonebookPath(nullptr));
  const PhonebookEntry* e = FindHandle(book, handle);
  if (e == nullptr) return kErrInvalidHandle;
  return HangUp(*e);
}

uint32_t RasGetEntryDialParamsA(const char* phonebook, RASDIALPARAMSA* params,
                                int32_t* password_returned) {
  if (params == nullptr) return kErrInvalidParameter;
  if (params->dwSize != sizeof(RASDIALPARAMSA)) return kErrInvalidSize;
  std::string name;
  if (!FieldText(params->szEntryName, sizeof params->szEntryName, &name))
    return kErrInvalidParameter;
  auto book = ReadPhonebook(PhonebookPath(phonebook));
  const PhonebookEntry* e = FindEntry(book, name);
  if (e == nullptr) return kErrCannotFindEntry;
  CopyField(params->szEntryName, sizeof params->szEntryName, e->name);
  CopyField(params->szPhoneNumber, sizeof params->szPhoneNumber, e->phone_number);
  CopyField(params->szCallbackNumber, sizeof params->szCallbackNumber, "");
  CopyField(params->szUserName, sizeof params->szUserName, e->user);
  CopyField(params->szPassword, sizeof params->szPassword, e->password);
  CopyField(params->szDomain, sizeof params->szDomain, e->domain);
  if (password_returned != nullptr) *password_returned = e->password.empty() ? 0 : 1;
  return kOk;
}

uint32_t RasEnumConnectionsA(RASCONNA* connections, uint32_t* bytes, uint32_t* count) {
  if (bytes == nullptr || count == nullptr) return kErrInvalidParameter;
  if (connections != nullptr && connections->dwSize != sizeof(RASCONNA)) return kErrInvalidSize;
  if (connections == nullptr && *bytes != 0) return kErrInvalidParameter;
  auto book = ReadPhonebook(PhonebookPath(nullptr));
  auto found = Connections(book);
  uint64_t need = found.size() * sizeof(RASCONNA);
  uint32_t room = *bytes;
  *bytes = static_cast<uint32_t>(need);
  *count = static_cast<uint32_t>(found.size());
  if (room < need) return kErrBufferTooSmall;
  for (size_t i = 0; i < found.size(); ++i) {
    RASCONNA& c = connections[i];
    std::memset(&c, 0, sizeof c);
    c.dwSize = sizeof(RASCONNA);
    c.hrasconn = HandleOf(found[i].first->name);
    CopyField(c.szEntryName, sizeof c.szEntryName, found[i].first->name);
    CopyField(c.szDeviceType, sizeof c.szDeviceType, "modem");
    CopyField(c.szDeviceName, sizeof c.szDeviceName, DeviceName(*found[i].first));
  }
  return kOk;
}

uint32_t RasGetConnectStatusA(HRASCONN handle, RASCONNSTATUSA* status) {
  if (status == nullptr) return kErrInvalidParameter;
  if (status->dwSize != sizeof(RASCONNSTATUSA)) return kErrInvalidSize;
  auto book = ReadPhonebook(PhonebookPath(nullptr));
  const PhonebookEntry* e = FindHandle(book, handle);
  if (e == nullptr) return kErrInvalidHandle;
  Link link = Probe(*e);
  if (link == Link::kNone) return kErrInvalidHandle;
  status->rasconnstate = link == Link::kUp ? kStateConnected : kStateDisconnected;
  status->dwError = 0;
  CopyField(status->szDeviceType, sizeof status->szDeviceType, "modem");
  CopyField(status->szDeviceName, sizeof status->szDeviceName, DeviceName(*e));
  return kOk;
}

uint32_t RasGetErrorStringA(uint32_t error, char* text, uint32_t size) {
  if (text == nullptr || size == 0) return kErrInvalidParameter;
  for (const ErrorText& t : kErrorTexts) {
    if (t.error != error) continue;
    size_t n = std::strlen(t.text);
    if (n + 1 > size) return kErrInsufficientBuffer;
    std::memcpy(text, t.text, n + 1);
    return kOk;
  }
  return kErrInvalidParameter;
}

uint32_t RasEnumEntriesA(const char*, const char* phonebook, RASENTRYNAMEA* entries,
                         uint32_t* bytes, uint32_t* count) {
  if (bytes == nullptr || count == nullptr) return kErrInvalidParameter;
  if (entries != nullptr && entries->dwSize != sizeof(RASENTRYNAMEA)) return kErrInvalidSize;
  if (entries == nullptr && *bytes != 0) return kErrInvalidParameter;
  auto book = ReadPhonebook(PhonebookPath(phonebook));
  uint64_t need = book.size() * sizeof(RASENTRYNAMEA);
  uint32_t room = *bytes;
  *bytes = static_cast<uint32_t>(need);
  *count = static_cast<uint32_t>(book.size());
  if (room < need) return kErrBufferTooSmall;
  for (size_t i = 0; i < book.size(); ++i) {
    std::memset(&entries[i], 0, sizeof entries[i]);
    entries[i].dwSize = sizeof(RASENTRYNAMEA);
    CopyField(entries[i].szEntryName, sizeof entries[i].szEntryName, book[i].name);
  }
  return kOk;
}

void QvRasSetDialLimit(uint32_t ms) {
  g_dial_limit_ms.store(ms == 0 ? kDialLimitMs : ms);
}

void QvRasSetNetRoot(const char* path) {
  std::lock_guard<std::mutex> lock(qv::platform::ras::g_state_mutex);
  g_net_root = path != nullptr ? path : kDefaultNetRoot;
}

}  // extern "C"
