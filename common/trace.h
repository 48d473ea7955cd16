// The developer trace: lines with a level, written to the monitor library, a trace file and the
// debugger output when the level reaches the threshold. Off with the built-in values.
#pragma once

#include <string>
#include <string_view>

namespace qv {

// Setting numbers.
constexpr int kTraceLevel = 1;
constexpr int kTraceBreakLevel = 2;
constexpr int kTraceOutTo = 3;
constexpr int kTraceMex = 4;
constexpr int kTraceLogfile = 5;
constexpr int kTraceClientId = 6;

// Output bits.
constexpr long kTraceToMonitor = 0x1;
constexpr long kTraceToFile = 0x2;
constexpr long kTraceToDebugger = 0x4;

// Prefix bits.
constexpr long kTraceDate = 0x1;
constexpr long kTraceTime = 0x2;
constexpr long kTracePid = 0x10;
constexpr long kTraceTid = 0x20;
constexpr long kTraceClient = 0x100;

// Levels of the system's trace lines: a line of level N is written when TraceLevel() <= N.
constexpr long kTraceLevelDialupCalls = 0;   // the dial-up library's call wrappers
constexpr long kTraceLevelDialLock = 25;     // the dial lock
constexpr long kTraceLevelChecks = 26;       // the SMTP service's periodic checks
constexpr long kTraceLevelDialupFlow = 27;   // the dial-up flow
constexpr long kTraceLevelPop3Service = 50;  // the POP3 service's start and end
constexpr long kTraceLevelErrors = 70;       // errors
constexpr long kTraceLevelSmtpService = 70;  // the SMTP service's start and end

inline constexpr char kDefaultTraceFile[] = "/tmp/dbgdump.log";

// Null `logfile` gives the default trace file; null `client_id` the empty text.
void TraceInit(long level, long break_level, long out_to, long mex, const char* logfile,
               const char* client_id);

// The built-in values of the services (level 999, break 999, outputs 5, prefix 0x132), then
// the registry override from the trace key.
void TraceInitService(const char* client_id);

bool TraceReadRegistry(std::string_view key_path);

void TraceSet(int number, long value);
void TraceSet(int number, const char* text);
// True for a known number; numbers fill *value, texts fill *text.
bool TraceGet(int number, long* value, std::string* text);

long TraceLevel();

void TracePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
void TracePrintEx(long mex, long out_to, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Null texts are shown as "(null)".
const char* TraceText(const char* text);

// Frees the monitor library at process end.
void TraceShutdown();

}  // namespace qv
