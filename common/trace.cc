#include "common/trace.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/debugout.h"
#include "platform/fileio.h"
#include "platform/registry.h"

namespace qv {
namespace {

constexpr size_t kLineSize = 640;

std::mutex g_mutex;
long g_level = 999;
long g_break_level = 999;
long g_out_to = 5;
long g_mex = 0x132;
std::string g_logfile = kDefaultTraceFile;
std::string g_client_id;

size_t Prefix(long mex, char* buf, size_t size) {
  size_t n = 0;
  auto add = [&](int written) {
    if (written > 0) n = std::min(size - 1, n + static_cast<size_t>(written));
  };
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm t{};
  localtime_r(&tv.tv_sec, &t);
  long ms = tv.tv_usec / 1000;
  bool date = (mex & kTraceDate) != 0, time = (mex & kTraceTime) != 0;
  if (date && time) {
    add(std::snprintf(buf + n, size - n, "[%02ld%02ld%02ld @%02ld:%02ld:%02ld.%03ld] ",
                      static_cast<long>(t.tm_year % 100), static_cast<long>(t.tm_mon + 1),
                      static_cast<long>(t.tm_mday), static_cast<long>(t.tm_hour),
                      static_cast<long>(t.tm_min), static_cast<long>(t.tm_sec), ms));
  } else if (date) {
    add(std::snprintf(buf + n, size - n, "[%02ld%02ld%02ld] ", static_cast<long>(t.tm_year % 100),
                      static_cast<long>(t.tm_mon + 1), static_cast<long>(t.tm_mday)));
  } else if (time) {
    add(std::snprintf(buf + n, size - n, "[@%02ld:%02ld:%02ld.%03ld] ",
                      static_cast<long>(t.tm_hour), static_cast<long>(t.tm_min),
                      static_cast<long>(t.tm_sec), ms));
  }
  unsigned long pid = static_cast<unsigned long>(getpid());
  unsigned long tid = static_cast<unsigned long>(syscall(SYS_gettid));
  bool p = (mex & kTracePid) != 0, th = (mex & kTraceTid) != 0;
  if (p && th) {
    add(std::snprintf(buf + n, size - n, "[pid=%lx, tid=%lx] ", pid, tid));
  } else if (p) {
    add(std::snprintf(buf + n, size - n, "[pid=%lx] ", pid));
  } else if (th) {
    add(std::snprintf(buf + n, size - n, "[tid=%lx] ", tid));
  }
  if ((mex & kTraceClient) != 0 && !g_client_id.empty())
    add(std::snprintf(buf + n, size - n, "[%s] ", g_client_id.c_str()));
  return n;
}

void Emit(long mex, long out_to, const char* format, va_list args) {
  std::lock_guard<std::mutex> lock(g_mutex);
  char line[kLineSize];
  size_t n = Prefix(mex, line, sizeof line);
  int written = std::vsnprintf(line + n, sizeof line - n, format, args);
  if (written < 0) line[n] = '\0';
  size_t length = std::min(sizeof line - 1, n + (written > 0 ? static_cast<size_t>(written) : 0));
  if ((out_to & kTraceToMonitor) != 0) platform::MonitorDisplayString(line);
  if ((out_to & kTraceToFile) != 0) {
    int fd = open(g_logfile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      platform::WriteAll(fd, line, length);
      close(fd);
    }
  }
  if ((out_to & kTraceToDebugger) != 0) platform::DebugOutput(std::string_view(line, length));
}

}  // namespace

void TraceInit(long level, long break_level, long out_to, long mex, const char* logfile,
               const char* client_id) {
  platform::LoadMonitorLibrary();
  std::lock_guard<std::mutex> lock(g_mutex);
  g_level = level;
  g_break_level = break_level;
  g_out_to = out_to;
  g_mex = mex;
  g_logfile = logfile != nullptr ? logfile : kDefaultTraceFile;
  g_client_id = client_id != nullptr ? client_id : "";
}

void TraceInitService(const char* client_id) {
  TraceInit(999, 999, 5, 0x132, kDefaultTraceFile, client_id);
  TraceReadRegistry("Software\\Brennock\\Quorvane\\ZDebug");
}

bool TraceReadRegistry(std::string_view key_path) {
  reg::Key key;
  if (reg::OpenKey(key_path, &key) != reg::kSuccess) return false;
  static const struct {
    const char* name;
    int number;
  } kNumbers[] = {{"DbgLevel", kTraceLevel},
                  {"DbgBreakLevel", kTraceBreakLevel},
                  {"DbgOutTo", kTraceOutTo},
                  {"DbgMex", kTraceMex}};
  for (const auto& n : kNumbers) {
    uint32_t type = 0, value = 0, size = sizeof value;
    if (reg::QueryValue(key, n.name, &type, &value, &size) == reg::kSuccess &&
        type == reg::kDword && size == sizeof value)
      TraceSet(n.number, static_cast<long>(static_cast<int32_t>(value)));
  }
  static const struct {
    const char* name;
    int number;
  } kTexts[] = {{"DbgLogfile", kTraceLogfile}, {"DbgClientId", kTraceClientId}};
  for (const auto& t : kTexts) {
    char text[260] = {};
    uint32_t type = 0, size = sizeof text;
    if (reg::QueryValue(key, t.name, &type, text, &size) == reg::kSuccess && type == reg::kSz) {
      text[sizeof text - 1] = '\0';
      TraceSet(t.number, text);
    }
  }
  reg::CloseKey(&key);
  return true;
}

void TraceSet(int number, long value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  switch (number) {
    case kTraceLevel:
      g_level = value;
      break;
    case kTraceBreakLevel:
      g_break_level = value;
      break;
    case kTraceOutTo:
      g_out_to = value;
      break;
    case kTraceMex:
      g_mex = value;
      break;
    default:
      break;
  }
}

void TraceSet(int number, const char* text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (text == nullptr) return;
  if (number == kTraceLogfile) g_logfile = text;
  if (number == kTraceClientId) g_client_id = text;
}

bool TraceGet(int number, long* value, std::string* text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  switch (number) {
    case kTraceLevel:
      if (value) *value = g_level;
      return true;
    case kTraceBreakLevel:
      if (value) *value = g_break_level;
      return true;
    case kTraceOutTo:
      if (value) *value = g_out_to;
      return true;
    case kTraceMex:
      if (value) *value = g_mex;
      return true;
    case kTraceLogfile:
      if (text) *text = g_logfile;
      return true;
    case kTraceClientId:
      if (text) *text = g_client_id;
      return true;
    default:
      return false;
  }
}

long TraceLevel() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_level;
}

void TracePrint(const char* format, ...) {
  long mex, out_to;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    mex = g_mex;
    out_to = g_out_to;
  }
  va_list args;
  va_start(args, format);
  Emit(mex, out_to, format, args);
  va_end(args);
}

void TracePrintEx(long mex, long out_to, const char* format, ...) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (mex == -1) mex = g_mex;
    if (out_to == -1) out_to = g_out_to;
  }
  va_list args;
  va_start(args, format);
  Emit(mex, out_to, format, args);
  va_end(args);
}

const char* TraceText(const char* text) {
  return text != nullptr ? text : "(null)";
}

void TraceShutdown() {
  platform::FreeMonitorLibrary();
}

}  // namespace qv
