// The phone book of the dial-up layer: "phonebook.ini" in the system root, one section per entry
// (see docs/phonebook.md).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv::platform::ras {

struct PhonebookEntry {
  std::string name;
  std::string phone_number;
  std::string user;
  std::string password;
  std::string domain;
  std::string dial;       // command line that brings the link up
  std::string hang_up;    // command line that takes it down
  std::string interface;  // network interface whose state tells whether the link is up
  std::string status;     // command line whose exit code 0 tells that the link is up
};

inline constexpr size_t kMaxPhonebookEntries = 256;
inline constexpr size_t kMaxPhonebookBytes = 1 << 20;

// Reads the entries of the text. Blank lines and lines starting with ";" or "#" are skipped;
// "key=value" lines belong to the section above them. A section is ignored with its keys when
// its header has text after "]", its name is empty, longer than an entry name may be or holds a
// control character, or its name (without regard to case) was used before. Keys are compared
// without regard to case; the first of a repeated key counts. Text beyond kMaxPhonebookBytes and
// entries beyond kMaxPhonebookEntries are ignored.
std::vector<PhonebookEntry> ParsePhonebook(std::string_view text);

// Reads the phone book file; a missing or unreadable file is an empty phone book.
std::vector<PhonebookEntry> ReadPhonebook(const std::string& path);

// The entry of that name (compared without regard to case), or nullptr.
const PhonebookEntry* FindEntry(const std::vector<PhonebookEntry>& book, std::string_view name);

// The connection handle of an entry: a hash of its name folded to upper case, never 0.
uint32_t HandleOf(std::string_view name);

// The entry whose handle that is, or nullptr.
const PhonebookEntry* FindHandle(const std::vector<PhonebookEntry>& book, uint32_t handle);

// True when the interface name is usable as one folder name under the interfaces folder.
bool ValidInterfaceName(std::string_view name);

}  // namespace qv::platform::ras
