// The dial-up layer librasapi32.so: the remote access interface the link manager loads at run
// time, on Linux. A phone book "phonebook.ini" in the system root names, per entry, the commands
// that bring the link up and down and how to tell whether it is up (see docs/phonebook.md).
//
// The records keep the remote access interface's shapes and size fields; handles are 32 bits.
// Every function returns 0 or an error number (the numbers are below).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::platform::ras {

inline constexpr size_t kMaxEntryName = 256;
inline constexpr size_t kMaxPhoneNumber = 128;
inline constexpr size_t kMaxCallbackNumber = 128;
inline constexpr size_t kMaxUserName = 256;
inline constexpr size_t kMaxPassword = 256;
inline constexpr size_t kMaxDomain = 15;
inline constexpr size_t kMaxDeviceType = 16;
inline constexpr size_t kMaxDeviceName = 128;

// Connection states.
inline constexpr uint32_t kStateConnected = 0x2000;
inline constexpr uint32_t kStateDisconnected = 0x2001;

// Error numbers.
inline constexpr uint32_t kOk = 0;
inline constexpr uint32_t kErrInvalidHandle = 6;
inline constexpr uint32_t kErrNotEnoughMemory = 8;
inline constexpr uint32_t kErrInvalidParameter = 87;
inline constexpr uint32_t kErrCallNotImplemented = 120;
inline constexpr uint32_t kErrSemTimeout = 121;
inline constexpr uint32_t kErrInsufficientBuffer = 122;
inline constexpr uint32_t kErrModNotFound = 126;
inline constexpr uint32_t kErrPortAlreadyOpen = 602;
inline constexpr uint32_t kErrBufferTooSmall = 603;
inline constexpr uint32_t kErrDeviceDoesNotExist = 608;
inline constexpr uint32_t kErrCannotFindEntry = 623;
inline constexpr uint32_t kErrCorruptPhonebook = 625;
inline constexpr uint32_t kErrDisconnection = 628;
inline constexpr uint32_t kErrInvalidSize = 632;
inline constexpr uint32_t kErrRequestTimeout = 638;

inline constexpr const char kLibraryName[] = "librasapi32.so";
inline constexpr const char kPhonebookName[] = "phonebook.ini";

// How long a dial may take before its command is stopped; also the limit of a hang-up command.
inline constexpr uint32_t kDialLimitMs = 60000;
// The limit of one Status command.
inline constexpr uint32_t kStatusLimitMs = 5000;

}  // namespace qv::platform::ras

using HRASCONN = uint32_t;

#pragma pack(push, 1)
struct RASDIALPARAMSA {
  uint32_t dwSize;
  char szEntryName[qv::platform::ras::kMaxEntryName + 1];
  char szPhoneNumber[qv::platform::ras::kMaxPhoneNumber + 1];
  char szCallbackNumber[qv::platform::ras::kMaxCallbackNumber + 1];
  char szUserName[qv::platform::ras::kMaxUserName + 1];
  char szPassword[qv::platform::ras::kMaxPassword + 1];
  char szDomain[qv::platform::ras::kMaxDomain + 1];
  char reserved[3];
};

struct RASCONNSTATUSA {
  uint32_t dwSize;
  uint32_t rasconnstate;
  uint32_t dwError;
  char szDeviceType[qv::platform::ras::kMaxDeviceType + 1];
  char szDeviceName[qv::platform::ras::kMaxDeviceName + 1];
  char reserved[2];
};

struct RASCONNA {
  uint32_t dwSize;
  HRASCONN hrasconn;
  char szEntryName[qv::platform::ras::kMaxEntryName + 1];
  char szDeviceType[qv::platform::ras::kMaxDeviceType + 1];
  char szDeviceName[qv::platform::ras::kMaxDeviceName + 1];
  char reserved[1];
};

struct RASENTRYNAMEA {
  uint32_t dwSize;
  char szEntryName[qv::platform::ras::kMaxEntryName + 1];
  char reserved[3];
};
#pragma pack(pop)

static_assert(sizeof(RASDIALPARAMSA) == 1052);
static_assert(offsetof(RASDIALPARAMSA, szPhoneNumber) == 261);
static_assert(offsetof(RASDIALPARAMSA, szUserName) == 519);
static_assert(offsetof(RASDIALPARAMSA, szDomain) == 1033);
static_assert(sizeof(RASCONNSTATUSA) == 160);
static_assert(offsetof(RASCONNSTATUSA, szDeviceName) == 29);
static_assert(sizeof(RASCONNA) == 412);
static_assert(offsetof(RASCONNA, szEntryName) == 8);
static_assert(sizeof(RASENTRYNAMEA) == 264);

#define QV_RAS_EXPORT __attribute__((visibility("default")))

extern "C" {

// Brings the entry's link up: runs its Dial command and waits (up to the dial limit) for the
// link. Always synchronous; the extensions and the notifier are ignored. On success *handle is
// the connection. A failure after the command started leaves *handle set, to be hung up.
QV_RAS_EXPORT uint32_t RasDialA(void* extensions, const char* phonebook, RASDIALPARAMSA* params,
                                uint32_t notifier_type, void* notifier, HRASCONN* handle);

// Runs the entry's HangUp command.
QV_RAS_EXPORT uint32_t RasHangUpA(HRASCONN handle);

// The stored dial parameters of the entry named in params->szEntryName.
QV_RAS_EXPORT uint32_t RasGetEntryDialParamsA(const char* phonebook, RASDIALPARAMSA* params,
                                              int32_t* password_returned);

// The entries whose link is up or down but present. *bytes is the buffer size in, the needed
// size out; 603 when the buffer is too small.
QV_RAS_EXPORT uint32_t RasEnumConnectionsA(RASCONNA* connections, uint32_t* bytes, uint32_t* count);

// The state of a connection; 6 when it is gone.
QV_RAS_EXPORT uint32_t RasGetConnectStatusA(HRASCONN handle, RASCONNSTATUSA* status);

// The text of an error number; 87 for a number without text, 122 when the buffer is too small.
QV_RAS_EXPORT uint32_t RasGetErrorStringA(uint32_t error, char* text, uint32_t size);

// The names of the phone book's entries.
QV_RAS_EXPORT uint32_t RasEnumEntriesA(const char* reserved, const char* phonebook,
                                       RASENTRYNAMEA* entries, uint32_t* bytes, uint32_t* count);

// For tests: the dial limit in ms (0 restores 60 s; Status commands get at most the same), and
// the folder of network interfaces (null restores /sys/class/net).
QV_RAS_EXPORT void QvRasSetDialLimit(uint32_t ms);
QV_RAS_EXPORT void QvRasSetNetRoot(const char* path);

}  // extern "C"

namespace qv::platform::ras {

using RasDialFn = uint32_t (*)(void*, const char*, RASDIALPARAMSA*, uint32_t, void*, HRASCONN*);
using RasHangUpFn = uint32_t (*)(HRASCONN);
using RasGetEntryDialParamsFn = uint32_t (*)(const char*, RASDIALPARAMSA*, int32_t*);
using RasEnumConnectionsFn = uint32_t (*)(RASCONNA*, uint32_t*, uint32_t*);
using RasGetConnectStatusFn = uint32_t (*)(HRASCONN, RASCONNSTATUSA*);
using RasGetErrorStringFn = uint32_t (*)(uint32_t, char*, uint32_t);
using RasEnumEntriesFn = uint32_t (*)(const char*, const char*, RASENTRYNAMEA*, uint32_t*,
                                      uint32_t*);

}  // namespace qv::platform::ras
