// Every text the control service sends to a client of its control or password port, and the
// words it reads, in one place. Replies end with CR LF (control replies then with the ">"
// prompt); formats are printf-style.
#pragma once

namespace qv::control {

// ---- Identity ----------------------------------------------------------------------------

inline constexpr char kWindowClass[] = "QuorvaneControl";
inline constexpr char kProgramName[] = "qvctrl95";
inline constexpr char kTrayTip[] = "Quorvane Control Service";
inline constexpr char kTraceStart[] = "CTRLMAIN.WinMain [hMainWindow=x%x]\r\n";
inline constexpr char kTraceExit[] = "CTRLMAIN.WinMain exit\r\n";

// ---- Control connection --------------------------------------------------------------------

// Greeting: version, installation text, date text.
inline constexpr char kGreeting[] =
    "Quorvane Control Service (v%s %s) for Windows 95 ready at %s\r\nUsername: ";
inline constexpr char kTooManyConnections[] = "Too many connections\r\n";
inline constexpr char kLineTooLong[] = "Line too long\r\n";

// Login dialogue.
inline constexpr char kPasswordPrompt[] = "Password: ";
inline constexpr char kInvalidUserName[] = "Invalid user name\r\nUsername: ";
inline constexpr char kNoPermission[] =
    "You have no permissions to config the software\r\nUsername: ";
inline constexpr char kLoginOk[] = "Login OK (Enter HELP for command help)\r\n>";
inline constexpr char kInvalidPassword[] = "Invalid password\r\nPassword: ";

// Commands of a logged-in session.
inline constexpr char kInvalidCommand[] = "Invalid Command\r\n>";
inline constexpr char kSyntaxError[] = "Syntax Error\r\n>";
inline constexpr char kPrompt[] = "\r\n>";
inline constexpr char kStreamPrompt[] = ">";
// QUIT and EXIT: the peer's address.
inline constexpr char kClosing[] = "%s closing connection\r\n";
inline constexpr char kSaved[] = "New values saved to service.\r\n>";
inline constexpr char kReloaded[] = "Old values loaded from service\r\n>";
// START and STOP: the service name.
inline constexpr char kServiceStarted[] = "%s service started.\r\n>";
inline constexpr char kCannotStart[] = "Cannot start %s service.\r\n>";
inline constexpr char kServiceStopped[] = "%s service stopped.\r\n>";
inline constexpr char kCannotStop[] = "Cannot stop %s service.\r\n>";
// STATE: one line per service (name, state word), then kPrompt.
inline constexpr char kStateLine[] = "  %s:  %s\r\n";
inline constexpr char kStateUnknown[] = "<unknown>";
inline constexpr char kStateStopped[] = "Stopped";
inline constexpr char kStateRunning[] = "Running";
inline constexpr char kStatePaused[] = "Paused";
inline constexpr char kStatePending[] = "Pending";

// The arguments of START and STOP.
inline constexpr char kArgSmtp[] = "smtp";
inline constexpr char kArgPop3[] = "pop3";

// ---- HELP ----------------------------------------------------------------------------------

inline constexpr char kHelpUnknown[] = "Command unknown\r\n>";
inline constexpr char kHelpCommands[] =
    "Commands:  SET     START   STOP    RSET    STATE   SAVE\r\n"
    "           EXIT    QUIT    USER    LIST    EXEC    AUTO\r\n"
    "           ROUTE   POPA    NOOP\r\n\r\n"
    "           For more details use 'HELP <command>'.\r\n\r\n>";
inline constexpr char kHelpNoop[] = "  NOOP        Do nothing !\r\n\r\n>";
inline constexpr char kHelpQuit[] = "  QUIT or EXIT        Exit Control-Utility.\r\n\r\n>";
inline constexpr char kHelpSave[] = "  SAVE        Save changes to service.\r\n\r\n>";
inline constexpr char kHelpRset[] = "  RSET        Reload old values from service.\r\n\r\n>";
inline constexpr char kHelpSet[] =
    "  SET                              Shows all settings.\r\n"
    "  SET <para>=<value>               Sets a new value for a parameter.\r\n"
    "  SET FLAGS +/-flag [,+/-flag..]   Enables/Disables one or more flags\r\n\r\n"
    "  For more details about the parameters, enter HELP PARA.\r\n"
    "  For more details about the flags, enter HELP FLAGS.\r\n\r\n>";
inline constexpr char kHelpFlags[] =
    "Available flags:\r\n"
    "  DIALUP          Use Dial-Up connection\r\n"
    "  NTUSER          Use Windows NT Security\r\n"
    "  USEDNS          Use DNS-Lookup\r\n"
    "  USEMX           Use MX-Host\r\n"
    "  IMMEDIATELLY    Send immediatelly\r\n"
    "  RETRY           Retry after XX time\r\n"
    "  RETURNTOSENDER  Return undeliverable mail back to sender\r\n"
    "  SENDINFO        Send info to administrator\r\n"
    "  ATTACHMESSAGE   Attach original message\r\n"
    "  ESMTP           Use ESMTP protocol\r\n"
    "  ESMTPSIZE       Use ESMTP SIZE option\r\n"
    "  NOTIFYUNKNOWN   Reject mail for unknown users\r\n"
    "  FORWARDUNKNOWN  Forward mail for unknown users\r\n"
    "  SEARCHUNKNOWN   Search unknown users in other local daomains\r\n"
    "  DNSSUBDOMAIN    Search for subdomains\r\n"
    "  DOMAINASHOST    User domain name as hostname\r\n\r\n>";
inline constexpr char kHelpPara[] =
    "Available parameters:\r\n"
    "  LOCALHOST       The name of the local host\r\n"
    "  LOCALDOMAIN     The name of the primary local domain\r\n"
    "  NAMESERVER      The name of the DNS server\r\n"
    "  MAILDIR         The directory name of the user mailboxes\r\n"
    "  TEMPDIR         The directory of the temporary files\r\n"
    "  LOGDIR          The directory of the logfiles\r\n"
    "  CONFIGDIR       The directory of the configuration files\r\n"
    "  LOGLEVEL        The event log level (0..5)\r\n"
    "  MAXLOGTIME      The maximum age of the logfiles (days)\r\n"
    "  CTRLPORT        The TCP/IP port of the control service\r\n"
    "  SMTPPORT        The TCP/IP port of the SMTP service\r\n"
    "  POP3PORT        The TCP/IP port of the POP3 service\r\n"
    "  PWPORT          The TCP/IP port of the password service\r\n"
    "  RASENTRY        The Remote Access profile for Dial-Up connetcion\r\n"
    "  RASUSER         The Remote Access nogin name\r\n"
    "  RASPASSWORD     The Remote Access password\r\n"
    "  IDLETIME        The maximum idle time for Dial-Up connetcions\r\n"
    "  NTUSER          The mail user profile for Windows NT security\r\n"
    "  NTDOMAIN        The mail domain, which is used for Windows NT security\r\n"
    "  ADMINNAME       The default name of the administrator\r\n"
    "  ADMINMAILBOX    The mailbox of the administrator\r\n"
    "  NORESPONSEMASK  The address mask for filtering autoresponder\r\n"
    "  EXCHANGEHOST    The name of the exchange host\r\n"
    "  RETRYTIMER      The retry time for mail devivery\r\n"
    "  RETURNTIMER     The time period after the mail is undeliverable\r\n"
    "  FORWARDUNKNOWN  The mail address to forward mail for unknwon users\r\n"
    "  MAXMSGSIZE      The maximum ESMTP message size\r\n\r\n>";
inline constexpr char kHelpStart[] =
    "  START SMTP  Starts the SMTP service.\r\n  START POP3   Starts the POP3 service.\r\n\r\n>";
inline constexpr char kHelpStop[] =
    "  STOP SMTP   Stops the SMTP service.\r\n  STOP POP3   Stops the POP3 service.\r\n\r\n>";
inline constexpr char kHelpState[] =
    "  STATE       Shows the current state of the SMTP and POP3 service.\r\n\r\n>";
inline constexpr char kHelpUser[] =
    "  USER ADD <address>[,<password>][,<name>]         Adds a new user.\r\n"
    "  USER DELETE <address>                            Deletes a user.\r\n"
    "  USER SHOW <address>                              Shows user definitions.\r\n\r\n>";
inline constexpr char kHelpList[] =
    "  LIST ADD <address>[,<name>][,<file>][,<owner>]   Adds a new list.\r\n"
    "  LIST DELETE <address>                            Deletes a list.\r\n"
    "  LIST SHOW <address>                              Shows list definitions.\r\n"
    "  LIST ADDMEMBER <listname>,<address>[,<name>]     Adds a member to list.\r\n"
    "  LIST DELMEMBER <listname>,<address>              Deletes a list member.\r\n\r\n>";
inline constexpr char kHelpAuto[] =
    "  AUTO ADD <name>,<filename>        Adds a new auto responder.\r\n"
    "  AUTO DELETE <name>                Deletes a auto responder.\r\n"
    "  AUTO SHOW <name>                  Shows auto responder definitions.\r\n\r\n>";
inline constexpr char kHelpExec[] =
    "  EXEC ADD <address>,<filename>[,<name>]         Adds a new executable.\r\n"
    "  EXEC DELETE <address>                          Deletes a executable.\r\n"
    "  EXEC SHOW <address>                            Shows executbale definition.\r\n\r\n>";
inline constexpr char kHelpRoute[] =
    "  ROUTE ADD TOMAIL|TOHOST|TODOMAIN <mask>,<name> Adds a new static route.\r\n"
    "  ROUTE DELETE <mask>                            Deletes a static route.\r\n"
    "  ROUTE SHOW <mask>                              Shows route definitions.\r\n\r\n>";
inline constexpr char kHelpPopa[] =
    "  POPA ADD <name>,<host>,<login>,<password>[,<timer>][,<profile>]\r\n"
    "                                              Adds a new pop account.\r\n"
    "  POPA DELETE <name>                          Deletes a pop account.\r\n"
    "  POPA SHOW <name>                            Shows pop account info.\r\n\r\n>";

// ---- SET -----------------------------------------------------------------------------------

// ShowOptions: each "%s" or "%d" takes the next shown setting, in the order of the settings
// table's show places (intervals in their units); the flag words and kPrompt follow.
inline constexpr char kShowOptions[] =
    "  LOCALHOST               %s\r\n"
    "  LOCALDOMAIN             %s\r\n"
    "  NAMESERVER              %s\r\n"
    "  MAILDIR                 %s\r\n"
    "  TEMPDIR                 %s\r\n"
    "  LOGDIR                  %s\r\n"
    "  CONFIGDIR               %s\r\n"
    "  LOGLEVEL/MAXLOGTIME     %d/%d days\r\n"
    "  PORTS CTRL/SMTP/POP3/PW %d/%d/%d/%d\r\n"
    "  RASENTRY                %s\r\n"
    "  RASUSER/RASPASSWORD     %s/%s\r\n"
    "  PINGTIME/IDLETIME       %s/%s\r\n"
    "  NTUSER                  %s\r\n"
    "  NTDOMAIN                %s\r\n"
    "  ADMINNAME/ADMINMAILBOX  %s/%s\r\n"
    "  NORESPONSEMASK          %s\r\n"
    "  EXCHANGEHOST            %s\r\n"
    "  RETRYTIMER              %s\r\n"
    "  RETURNTIMER             %s\r\n"
    "  FORWARDUNKNOWN          %s\r\n"
    "  MAXMSGSIZE              %d\r\n";
// A setting added to the listing above, shown only while set: SET's keyword, the value.
inline constexpr char kShowOptional[] = "  %-24s%s\r\n";
// The last line of the listing, before the flag words.
inline constexpr char kShowFlags[] = "  FLAGS                   ";
// SET's keyword for the flag words.
inline constexpr char kFlagsKeyword[] = "FLAGS";
// The break between lines of flag words.
inline constexpr char kFlagBreak[] = "\r\n                          ";
// An interval: number, unit.
inline constexpr char kInterval[] = "%d %s";
inline constexpr char kUnitSeconds[] = "seconds";
inline constexpr char kUnitMinutes[] = "minutes";
inline constexpr char kUnitHours[] = "hours";
inline constexpr char kUnitDays[] = "days";

// ---- Record commands -----------------------------------------------------------------------

inline constexpr char kUserAdded[] = "User added successful\r\n>";
inline constexpr char kCannotAddUser[] = "Cannot add user !\r\n>";
inline constexpr char kUserDeleted[] = "User deleted successful\r\n>";
inline constexpr char kCannotDeleteUser[] = "Cannot delete user !\r\n>";
inline constexpr char kUserUnknown[] = "User unknown !\r\n>";
// Alias, Domain, Name, Mailbox, PopAccount, CopyIncoming, CopyOutgoing, Responder, MailingList.
inline constexpr char kUserShow[] =
    "  Alias:               %s\r\n"
    "  Domain:              %s\r\n"
    "  Name:                %s\r\n"
    "  Mailbox:             %s\r\n"
    "  POP account:         %s\r\n"
    "  Copy incomming mail: %s\r\n"
    "  Copy outgoing mail:  %s\r\n"
    "  Respond with:        %s\r\n"
    "  Add to list:         %s\r\n\r\n>";

inline constexpr char kListAdded[] = "List added successful\r\n>";
inline constexpr char kCannotAddList[] = "Cannot add list !\r\n>";
inline constexpr char kListDeleted[] = "List deleted successful\r\n>";
inline constexpr char kCannotDeleteList[] = "Cannot deleted list !\r\n>";
inline constexpr char kListUnknown[] = "List unknown !\r\n>";
inline constexpr char kMemberAdded[] = "Member added successful\r\n>";
inline constexpr char kCannotAddMember[] = "Cannot add member to list !\r\n>";
inline constexpr char kMemberDeleted[] = "Member deleted successful\r\n>";
inline constexpr char kCannotDeleteMember[] = "Cannot delete member from list !\r\n>";
// Name, Domain, Description, FileName, OwnerUser, OwnerDomain, Responder, LogFile.
inline constexpr char kListShow[] =
    "  Alias:               %s\r\n"
    "  Domain:              %s\r\n"
    "  Name:                %s\r\n"
    "  Filename:            %s\r\n"
    "  Listowner:           %s@%s\r\n"
    "  Respond with:        %s\r\n"
    "  Log activities to:   %s\r\n\r\n>";
// The member file of a list added without one: ConfigPath, list name.
inline constexpr char kDefaultMemberFile[] = "%s/%s.mls";

inline constexpr char kAutoAdded[] = "Auto responder added successful\r\n>";
inline constexpr char kCannotAddAuto[] = "Cannot add auto responder !\r\n>";
inline constexpr char kAutoDeleted[] = "Auto responder deleted successful\r\n>";
inline constexpr char kCannotDeleteAuto[] = "Cannot delete auto responder !\r\n>";
inline constexpr char kAutoUnknown[] = "Responder unknown !\r\n>";
// Name, TextFile, LogFile, Exceptions.
inline constexpr char kAutoShow[] =
    "  Name:                %s\r\n"
    "  Filename:            %s\r\n"
    "  Log to:              %s\r\n"
    "  Not respond to:        %s\r\n\r\n>";

inline constexpr char kExecAdded[] = "Executable added successful\r\n>";
inline constexpr char kCannotAddExec[] = "Cannot add executable !\r\n>";
inline constexpr char kExecDeleted[] = "Executable deleted successful\r\n>";
inline constexpr char kCannotDeleteExec[] = "Cannot delete executable !\r\n>";
inline constexpr char kExecUnknown[] = "Executable unknown !\r\n>";
// Name, Domain, Description, Application, Parameters, Keywords.
inline constexpr char kExecShow[] =
    "  Alias:               %s\r\n"
    "  Domain:              %s\r\n"
    "  Name:                %s\r\n"
    "  Command:             %s\r\n"
    "  Arguments:           %s\r\n"
    "  Keywords:            %s\r\n\r\n>";

inline constexpr char kRouteAdded[] = "Static route added successful\r\n>";
inline constexpr char kCannotAddRoute[] = "Cannot add static route !\r\n>";
inline constexpr char kRouteDeleted[] = "Static route deleted successful\r\n>";
inline constexpr char kCannotDeleteRoute[] = "Cannot delete static route !\r\n>";
inline constexpr char kRouteUnknown[] = "Route unknown !\r\n>";
// Masks, the type text, Destination.
inline constexpr char kRouteShow[] =
    "  Mask:     %s\r\n"
    "  Route to: %s\r\n"
    "  Name:     %s\r\n\r\n>";
inline constexpr char kRouteTypeMail[] = "TO MAIL";
inline constexpr char kRouteTypeHost[] = "TO HOST";
inline constexpr char kRouteTypeDomain[] = "TO DOMAIN";
// The type words of ROUTE ADD.
inline constexpr char kWordToMail[] = "TOMAIL";
inline constexpr char kWordToHost[] = "TOHOST";
inline constexpr char kWordToDomain[] = "TODOMAIN";

inline constexpr char kPopaAdded[] = "POP account added successful\r\n>";
inline constexpr char kCannotAddPopa[] = "Cannot add POP account !\r\n>";
inline constexpr char kPopaDeleted[] = "POP account deleted successful\r\n>";
inline constexpr char kCannotDeletePopa[] = "Cannot delete POP account !\r\n>";
inline constexpr char kPopaUnknown[] = "Account unknown !\r\n>";
// Name, Server, Account, Password, interval number and unit, DialProfile.
inline constexpr char kPopaShow[] =
    "  Name:                %s\r\n"
    "  Host:                %s\r\n"
    "  Login name:          %s\r\n"
    "  Password:            %s\r\n"
    "  Connect every:       %d %s\r\n"
    "  Use Dial-Up profile: %s\r\n\r\n>";

// Sub-command words of the record commands.
inline constexpr char kSubAdd[] = "ADD";
inline constexpr char kSubDelete[] = "DELETE";
inline constexpr char kSubShow[] = "SHOW";
inline constexpr char kSubAddMember[] = "ADDMEMBER";
inline constexpr char kSubDelMember[] = "DELMEMBER";

// ---- Stream commands -----------------------------------------------------------------------

// The words after GETSTREAM and PUTSTREAM.
inline constexpr char kStreamOptions[] = "OPTIONS";
inline constexpr char kStreamUser[] = "USER";
inline constexpr char kStreamList[] = "LIST";
inline constexpr char kStreamRoute[] = "ROUTE";
inline constexpr char kStreamExec[] = "EXEC";
inline constexpr char kStreamAuto[] = "AUTO";
inline constexpr char kStreamAccount[] = "ACCOUNT";
inline constexpr char kStreamRasEntry[] = "RASENTRY";
inline constexpr char kStreamLogs[] = "LOGS";
inline constexpr char kStreamMember[] = "MEMBER";
inline constexpr char kStreamNtUsers[] = "NTUSERS";
// PUTSTREAM operations.
inline constexpr char kOpAdd[] = "ADD";
inline constexpr char kOpDelete[] = "DELETE";
inline constexpr char kOpEdit[] = "EDIT";
inline constexpr char kOpAddMember[] = "ADDMEMBER";
inline constexpr char kOpDeleteMember[] = "DELETEMEMBER";
// The first field of a record read past the end of its table.
inline constexpr char kEndOfTable[] = "#";
// Separator after each name of the RASENTRY, LOGS and NTUSERS lists.
inline constexpr char kListSeparator[] = "|";
// One group of NTUSERS: name, comment.
inline constexpr char kGroupEntry[] = "%s  (%s)|";
// The log file names of LOGS: SMTP logs first, then POP3 logs.
inline constexpr char kSmtpLogPrefix[] = "s";
inline constexpr char kPop3LogPrefix[] = "p";
inline constexpr char kLogSuffix[] = ".txt";

// ---- Password service ----------------------------------------------------------------------

inline constexpr char kPwGreeting[] = "200 Quorvane Password service for Windows 95 ready\r\n";
inline constexpr char kPwOk[] = "200 OK\r\n";
inline constexpr char kPwSyntaxError[] = "500 Syntax error\r\n";
inline constexpr char kPwInvalidUser[] = "500 Invalid user\r\n";
inline constexpr char kPwInvalidPassword[] = "500 Invalid password\r\n";
inline constexpr char kPwTooManyConnections[] = "500 Too many connections\r\n";
inline constexpr char kPwLineTooLong[] = "500 Line too long\r\n";

// ---- The TLS control port --------------------------------------------------------------------

// Logged (as failed logons are) when the certificate cannot be loaded: why.
inline constexpr char kLogTlsOff[] = "TLS is off: %s\r\n";
inline constexpr char kLogTlsKept[] = "New certificate not taken; the old one is kept: %s\r\n";

}  // namespace qv::control
