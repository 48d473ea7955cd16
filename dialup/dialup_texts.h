// The texts of the dial-up link manager: the error texts its callers log, and its trace lines
// with the level at which each is written (a line is written when the trace level is at most
// that level).
#pragma once

#include "common/dialup_link.h"

namespace qv::dialup {

// Error texts of OpenConnection.
inline constexpr const char* kErrNoRasLibrary = kNoDialupLayerText;
inline constexpr char kErrDialParams[] = "Error getting dial parameters";
inline constexpr char kErrLockShare[] = "Error attempting to lock RAS Share";
inline constexpr char kErrNoExisting[] = "Error, no existing connection after failed dial (%d)";
inline constexpr char kErrExistingState[] = "Error with existing connection (State=%d,Error=%d)";
// When the dial-up layer has no text for an error number.
inline constexpr char kErrRasNumber[] = "Dial-up error %d";

// Level 0: the calls into the dial-up layer.
inline constexpr int kTraceLevelCalls = 0;
inline constexpr char kTrRasDial[] = "myRasDial\r\n";
inline constexpr char kTrRasDialDone[] = "<<myRasDial [erc=%d]\r\n";
inline constexpr char kTrRasHangUp[] = "myRasHangUp [hrascon=x%x]\r\n";
inline constexpr char kTrRasDialParams[] = "myRasGetEntryDialParams [pbook=%s]\r\n";
inline constexpr char kTrRasEnum[] = "myRasEnumConnections\r\n";
inline constexpr char kTrRasStatus[] = "myRasGetConnectStatus [hrasconn=x%x]\r\n";
inline constexpr char kTrRasErrorString[] = "myRasGetErrorString [uErrorValue=%d]\r\n";

// Level 25: the dial lock.
inline constexpr int kTraceLevelLock = 25;
inline constexpr char kTrLockIn[] = ">>_LockRas\r\n";
inline constexpr char kTrLockOut[] = "<<_LockRas\r\n";
inline constexpr char kTrUnlockOut[] = "<<_UnlockRas\r\n";

// Level 27: the operations.
inline constexpr int kTraceLevelOps = 27;
inline constexpr char kTrOpenIn[] = ">> OpenConnection [pszConnection=%s]\r\n";
inline constexpr char kTrShareCount[] = "  :: Share Count [erc=%d, Count=%d]\r\n";
inline constexpr char kTrDialFailed[] =
    "  ::OpenConnection: Dial failed [erc=%d, hRasConn=x%x]\r\n";
inline constexpr char kTrWillHangUp[] =
    "  ::OpenConnection: Will HangUp - GetConnStatus [erc=%d, hRasConn=x%x, connstate=%d, "
    "connError=%d]\r\n";
inline constexpr char kTrBailing[] = "  ::OpenConnection: Bailing, no existing connection\r\n";
inline constexpr char kTrFoundExisting[] =
    "  ::OpenConnection: Found existing - GetConnStatus [erc=%d, hRasConn=x%x, connstate=%d, "
    "connError=%d]\r\n";
inline constexpr char kTrOpenOut[] =
    "<< OpenConnection [Connection=%s, hRasConn=x%x, ShareCnt=%d]\r\n";
inline constexpr char kTrCloseIn[] = ">>CloseConnection [Connection=%s]\r\n";
inline constexpr char kTrCloseOut[] =
    "<< CloseConnection [boRet=%d, Connection=%s, ercLock=%d, boHangupRas=%d]\r\n";
inline constexpr char kTrActiveOut[] =
    "<< IsConnectionActive [boRet=%d, Connection=%s,hRasConn=%#x, ercConnectStatus=%d]\r\n";
inline constexpr char kTrJustHungUp[] =
    "  _HangUpHandle: Just hungup [hRasConn=x%x, ercHangUp=%d, ercConnectStatus=%d]\r\n";
inline constexpr char kTrHangUpTimedOut[] =
    "  _HangUpHandle: Timed out!! [erc=%d, hRasConn=x%x, dwTimeout=%d]\r\n";
inline constexpr char kTrEntryParams[] =
    "  ::  EntryDialParams(%d,boPass=%d) [Size=%d, Entry=%s, PhNum=%s, User=%s, Pass=%s, "
    "Domain=%s]\r\n";
inline constexpr char kTrUseParams[] =
    "  :: Will use DialParams [erc=%d, Entry=%s, PhNum=%s, User=%s, Pass=%s, Domain=%s]\r\n";
inline constexpr char kTrLoadRas[] = "myras._LoadRasLibrary: Will load RAS dll\r\n";
inline constexpr char kTrFreeRas[] = "myras._FreeRasLibrary: Will free RAS dll\r\n";
inline constexpr char kTrLoadShare[] = "myrasshr._LoadBrsLibrary: Will load BRASSHR dll\r\n";
inline constexpr char kTrFreeShare[] = "myrasshr._FreeBrsLibrary: Will free BRASSHR dll\r\n";

// Level 70: failures.
inline constexpr int kTraceLevelErrors = 70;
inline constexpr char kTrLockError[] =
    "_LockRas: Error!! [erc=%d, dwWaitResult=%d, dwWaitTimeout=%d]\r\n";
inline constexpr char kTrUnlockError[] = "_UnockRas: Error!! [erc=%d]\r\n";
inline constexpr char kTrRasCannotLoad[] = "myras._LoadRasLibrary: Cannot load RASAPI32.DLL!!\r\n";
inline constexpr char kTrRasMissing[] =
    "myras._LoadRasLibrary: Missing entry points for RASAPI32.DLL!!\r\n";
inline constexpr char kTrShareCannotLoad[] =
    "myrasshr._LoadBrsLibrary: Cannot load BRASSHR.DLL!!\r\n";
inline constexpr char kTrShareMissing[] =
    "myrasshr._LoadBrsLibrary: Missing entry points for BRASSHR.DLL!!\r\n";

// A password in a trace line.
inline constexpr char kTraceHidden[] = "***";

}  // namespace qv::dialup
