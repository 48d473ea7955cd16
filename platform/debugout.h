// Debugger output and the optional monitor library.
#pragma once

#include <string_view>

namespace qv::platform {

// The debugger output: standard error, written as one piece.
void DebugOutput(std::string_view text);

// The monitor library "libcatchlib.so", loaded with dlopen. Load resolves its entries
// "CmDisplayString" and "CmDisplayInt"; a missing library or entry leaves that output silent.
void LoadMonitorLibrary();
void FreeMonitorLibrary();
bool MonitorHasDisplayString();
void MonitorDisplayString(const char* line);

}  // namespace qv::platform
