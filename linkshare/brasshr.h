// The link share library libbrasshr.so: a cross-process dial lock and, per phone-book entry, a
// count of the users holding the dial-up link. Loaded at run time by the link manager of each
// mail service and bound by the names below. Every result is a Win32 error number, 0 for
// success; the numbers are listed in docs/link-share.md.
#pragma once

#include <cstdint>

#define QV_BRS_EXPORT __attribute__((visibility("default")))

extern "C" {

// Waits up to `wait_ms` milliseconds (0xFFFFFFFF: without limit) for the dial lock. The wait
// result goes to *wait_result when given: 0 acquired, 0x80 acquired from a holder that ended
// without releasing it, 258 timed out. Returns 0 (also on a time-out), or 6 when the lock is not
// there. The lock belongs to the calling thread and may be taken again by it (each take needs
// its release).
QV_BRS_EXPORT uint32_t BRS_LockRas(uint32_t wait_ms, uint32_t* wait_result);

// Releases the dial lock: 0, 288 when the calling thread does not hold it, 6 when the lock is
// not there.
QV_BRS_EXPORT uint32_t BRS_UnlockRas(void);

// One more user of the entry; `already_up` non-zero tells that the link was up before the first
// user took it (so the mail server must not hang it up). 84 when the table is full.
QV_BRS_EXPORT uint32_t BRS_AddRef(const char* entry, int32_t already_up);

// One user less; *hang_up becomes 1 when this was the last user of a link the mail server
// dialled. 87 when nobody holds the entry.
QV_BRS_EXPORT uint32_t BRS_ReleaseRef(const char* entry, int32_t* hang_up);

// Reads or changes the count of the entry: operation 0 increment, 1 decrement, 2 set to `value`,
// 3 query. The count before the operation goes to *previous.
QV_BRS_EXPORT uint32_t BRS_ShareCount(const char* entry, uint32_t operation, int32_t* previous,
                                      int32_t value);

}  // extern "C"

namespace qv::linkshare {

// The exports' types, for a caller that binds them by name.
using LockRasFn = uint32_t (*)(uint32_t, uint32_t*);
using UnlockRasFn = uint32_t (*)();
using AddRefFn = uint32_t (*)(const char*, int32_t);
using ReleaseRefFn = uint32_t (*)(const char*, int32_t*);
using ShareCountFn = uint32_t (*)(const char*, uint32_t, int32_t*, int32_t);

inline constexpr const char kLibraryName[] = "libbrasshr.so";

// Operations of BRS_ShareCount.
inline constexpr uint32_t kCountIncrement = 0;
inline constexpr uint32_t kCountDecrement = 1;
inline constexpr uint32_t kCountSet = 2;
inline constexpr uint32_t kCountQuery = 3;

// Wait results of BRS_LockRas.
inline constexpr uint32_t kWaitObject = 0;
inline constexpr uint32_t kWaitAbandoned = 0x80;
inline constexpr uint32_t kWaitTimeout = 258;
inline constexpr uint32_t kWaitInfinite = 0xFFFFFFFFu;

// Results.
inline constexpr uint32_t kOk = 0;
inline constexpr uint32_t kErrInvalidHandle = 6;
inline constexpr uint32_t kErrNotEnoughMemory = 8;
inline constexpr uint32_t kErrOutOfStructures = 84;
inline constexpr uint32_t kErrInvalidParameter = 87;
inline constexpr uint32_t kErrSemTimeout = 121;
inline constexpr uint32_t kErrNotOwner = 288;

}  // namespace qv::linkshare
