// libqvinst.so: the functions an installation program calls, with C linkage under these exact
// names. Each does its work and returns; the library keeps no state between calls. Windows are
// opaque pointers; there are no dialog windows on this system, so the dialog helpers find none.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Fills `version` (at least 8 bytes) with "WINNT40" when the services run under the service
// manager (systemd), else "WIN95" (presence-lock services). Returns 2 or 1 accordingly.
int _GetOsVersion(char* version);

// 1 when the protocol database knows TCP as protocol 6, else 0.
int _DetectTCP(void);

// Creates (or opens) the registry key below the local-machine root. 1 done, 0 failed.
int _CreateSystemKey(const char* key_path);

// Installs or updates the service whose program the path names ("qvsmtp95", "qvpop395",
// "qvctrl95"; under the service manager "qvsmtp", "qvpop3", "qvctrl"; compared without the
// directory and extension, upper-cased, exactly) and with mode 2 starts it, first stopping a
// running one. Presence-lock services: with a mode other than 2 only the pid of the running
// service is returned (0 when it does not run); with mode 2, 1 when the program started.
// Service manager: 1 when every step succeeded. 0 for any other program name or a failure.
int _HandleService(int mode, const char* program_path);

// Inserts (key, value) into the sorted index file, creating the file when it is missing. 1, or 0
// when the file was empty before (the entry is still written) or cannot be opened.
int _CreateDataIndex(const char* key, int32_t value, const char* index_path);

// Writes the initial records (command "changepass", user "listserver") whose data files do not
// exist yet. The number written, or -1 when a data file could not be written.
int _CreateDemoUser(const char* domain, const char* install_dir, const char* config_dir);

// Dialog helpers: no dialog window exists, so the list helpers answer -1 and the others do
// nothing.
int _ListCountItems(void* dialog, int control_id);
int _ListFocusItem(void* dialog, int control_id, char* text);
int _LBClearAllSel(void* dialog, int control_id);
void _SetDialogTitle(void* window, const char* title);
void _ShowDlgHelp(void* window, const char* help_file, int context);
void _DestroyHelp(void* window, const char* help_file);

#ifdef __cplusplus
}
#endif
