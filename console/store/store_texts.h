// The texts of the console's data side: the login dialogue's outcomes, the control requests of
// remote mode, and the errors of record and member changes. Each text is used exactly as given.
#pragma once

namespace qv::console {

// ---- Login dialogue (ConnectControl) --------------------------------------------------------
inline constexpr char kSocketError[] = "Socket error!";
inline constexpr char kHostUnknown[] = "The host name is unknown!";
inline constexpr char kHostSilent[] = "The host does not respond!";
inline constexpr char kInvalidLogin[] = "Invalid login name!";
inline constexpr char kNoPermission[] = "You do not have permission to manage this server!";
inline constexpr char kInvalidPassword[] = "Invalid password!";
inline constexpr char kGeneralFailure[] = "General failure!";

// ---- Control requests of remote mode (sent without their CR LF) ----------------------------
inline constexpr char kGetOptions[] = "GETSTREAM OPTIONS";
inline constexpr char kPutOptions[] = "PUTSTREAM OPTIONS %s";
inline constexpr char kGetRecordAt[] = "GETSTREAM %s #%d";          // stream word, record number
inline constexpr char kGetRecordByKey[] = "GETSTREAM %s %s";        // stream word, key
inline constexpr char kPutRecord[] = "PUTSTREAM %s %s|%s";          // word, operation, fields
inline constexpr char kGetMemberAt[] = "GETSTREAM MEMBER %s|#%d";   // member file, number
inline constexpr char kPutMember[] = "PUTSTREAM LIST %s|%s|%s|%s";  // op, list, address, name
inline constexpr char kGetPhoneBook[] = "GETSTREAM RASENTRY";
inline constexpr char kGetLogs[] = "GETSTREAM LOGS";
inline constexpr char kGetGroups[] = "GETSTREAM NTUSERS";
inline constexpr char kState[] = "STATE";
inline constexpr char kStartService[] = "START %s";
inline constexpr char kStopService[] = "STOP %s";
inline constexpr char kQuit[] = "QUIT";

inline constexpr char kOpAdd[] = "ADD";
inline constexpr char kOpEdit[] = "EDIT";
inline constexpr char kOpDelete[] = "DELETE";
inline constexpr char kOpAddMember[] = "ADDMEMBER";
inline constexpr char kOpDeleteMember[] = "DELETEMEMBER";

// The first field of the record after the last one.
inline constexpr char kEndOfTable[] = "#";

// The service names of START and STOP, and the names STATE answers with.
inline constexpr char kArgSmtp[] = "SMTP";
inline constexpr char kArgPop3[] = "POP3";
inline constexpr char kStateSmtp[] = "QuorvaneSmtp:";
inline constexpr char kStatePop3[] = "QuorvanePop3:";
inline constexpr char kStateRunning[] = "Running";
inline constexpr char kStateStopped[] = "Stopped";
inline constexpr char kStatePaused[] = "Paused";

// The default member file of a new list: ConfigPath and the list's name.
inline constexpr char kDefaultMemberFile[] = "%s/%s.mls";

// The transaction log names: SMTP's begin with "s", POP3's with "p".
inline constexpr char kSmtpLogPrefix[] = "s";
inline constexpr char kPop3LogPrefix[] = "p";

// The version text of a program that cannot be read.
inline constexpr char kUnknownVersion[] = "<unknown>";

// ---- Errors -----------------------------------------------------------------------------------
inline constexpr char kBadFieldText[] =
    "The field '%s' holds a '|' or a line end, which a record cannot store.";
inline constexpr char kBadMemberText[] =
    "A member's address or name holds a '|' or a line end, which a member file cannot store.";
inline constexpr char kEmptyKey[] = "The record has no name.";
inline constexpr char kRecordExists[] = "A record with this name exists already.";
inline constexpr char kRecordRefused[] = "The record was refused or the table cannot be written.";
inline constexpr char kRecordNotChanged[] =
    "The record was not found, was refused or the table cannot be written.";
inline constexpr char kRecordNotTaken[] = "The server did not take the change of the record.";
inline constexpr char kRecordCut[] =
    "The record '%s' holds line breaks, which the control connection cannot carry: change it on "
    "its server.";
inline constexpr char kNoMemberFile[] = "The list has no member file.";
inline constexpr char kMemberFileTooLong[] =
    "The list's member file name in '%s' would be too long.";
inline constexpr char kMemberExists[] = "The member is on the list already.";
inline constexpr char kMemberIsAList[] = "A mailing list cannot be a member of a list.";
inline constexpr char kMemberNotChanged[] =
    "The member was not found or the file cannot be written.";
inline constexpr char kMemberFileUnreadable[] = "The member file '%s' cannot be read.";
inline constexpr char kTableUnreadable[] = "The table '%s' cannot be read.";
inline constexpr char kSettingsNotSaved[] = "The settings cannot be written to the registry.";
inline constexpr char kOptionsTooLong[] =
    "The settings are too long for one line of the control protocol.";
inline constexpr char kSettingsRefused[] =
    "Two services would listen on one port, or a folder is the root or a system folder.";
inline constexpr char kOptionsBadText[] = "A setting holds a '|' or a line end.";
inline constexpr char kEndlessTable[] = "The server sends more records than a table can hold.";
inline constexpr char kOptionsUnreadable[] = "The server sent settings that cannot be read.";
inline constexpr char kRemoteServiceAction[] =
    "Services of a remote server can only be started and stopped.";
inline constexpr char kUnknownService[] = "Unknown service or command.";
inline constexpr char kCannotStart[] = "Cannot start %s service.";
inline constexpr char kCannotStop[] = "Cannot stop %s service.";
// Why a local start failed, after kCannotStart and a blank line: what the program wrote to its
// standard error, or one of these.
inline constexpr char kStartNotRun[] = "The program %s cannot be run.";
inline constexpr char kStartEnded[] = "The program %s ended without a message.";
inline constexpr char kCannotInstall[] = "Cannot install %s service.";
inline constexpr char kCannotRemove[] = "Cannot remove %s service.";

}  // namespace qv::console
