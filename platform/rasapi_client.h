// Finding and using the dial-up layer librasapi32.so from a program of the system, for the
// callers that need one call of it rather than the link manager (the control service's list of
// phone-book entries).
#pragma once

#include <string>
#include <vector>

#include "platform/rasapi.h"

namespace qv::platform {

// Opens a shared library of the system by name: a name with "/" is opened as it is; a plain name
// is looked for beside the running program first, then by the loader's search. nullptr when not
// found.
void* OpenSystemLibrary(const std::string& name);

namespace ras {

// The names of the phone book's entries through RasEnumEntriesA of the dial-up layer; empty
// when the layer is missing or the phone book has no entries.
std::vector<std::string> ListPhonebookEntries(const std::string& library = kLibraryName);

}  // namespace ras
}  // namespace qv::platform
