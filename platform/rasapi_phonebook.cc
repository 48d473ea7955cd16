#include "platform/rasapi_phonebook.h"

#include <algorithm>

#include "platform/fileio.h"
#include "platform/rasapi.h"
#include "platform/text.h"

namespace qv::platform::ras {
namespace {

bool HasControl(std::string_view s) {
  return std::any_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// The field of the entry a key names, or nullptr for a key the phone book does not use.
std::string* FieldOf(PhonebookEntry& e, std::string_view key) {
  struct Key {
    const char* name;
    std::string PhonebookEntry::*field;
  };
  static const Key kKeys[] = {
      {"PhoneNumber", &PhonebookEntry::phone_number},
      {"User", &PhonebookEntry::user},
      {"Password", &PhonebookEntry::password},
      {"Domain", &PhonebookEntry::domain},
      {"Dial", &PhonebookEntry::dial},
      {"HangUp", &PhonebookEntry::hang_up},
      {"Interface", &PhonebookEntry::interface},
      {"Status", &PhonebookEntry::status},
  };
  for (const Key& k : kKeys)
    if (EqualsNoCase(key, k.name)) return &(e.*k.field);
  return nullptr;
}

}  // namespace

std::vector<PhonebookEntry> ParsePhonebook(std::string_view text) {
  if (text.size() > kMaxPhonebookBytes) text = text.substr(0, kMaxPhonebookBytes);
  std::vector<PhonebookEntry> book;
  PhonebookEntry* current = nullptr;
  std::vector<std::string> seen_keys;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = TrimLine(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      current = nullptr;
      seen_keys.clear();
      if (line.back() != ']') continue;
      std::string_view name = TrimLine(line.substr(1, line.size() - 2));
      if (name.empty() || name.size() > kMaxEntryName || HasControl(name) ||
          name.find(']') != std::string_view::npos || FindEntry(book, name) != nullptr ||
          book.size() >= kMaxPhonebookEntries)
        continue;
      book.push_back(PhonebookEntry{});
      book.back().name = std::string(name);
      current = &book.back();
      continue;
    }
    size_t eq = line.find('=');
    if (current == nullptr || eq == std::string_view::npos) continue;
    std::string_view key = TrimLine(line.substr(0, eq));
    std::string* field = FieldOf(*current, key);
    if (field == nullptr) continue;
    bool repeated = std::any_of(seen_keys.begin(), seen_keys.end(),
                                [&](const std::string& k) { return EqualsNoCase(k, key); });
    if (repeated) continue;
    seen_keys.emplace_back(key);
    *field = std::string(TrimLine(line.substr(eq + 1)));
  }
  return book;
}

std::vector<PhonebookEntry> ReadPhonebook(const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, &text)) return {};
  return ParsePhonebook(text);
}

const PhonebookEntry* FindEntry(const std::vector<PhonebookEntry>& book, std::string_view name) {
  for (const PhonebookEntry& e : book)
    if (EqualsNoCase(e.name, name)) return &e;
  return nullptr;
}

uint32_t HandleOf(std::string_view name) {
  uint32_t hash = 2166136261u;
  for (char c : name) {
    hash ^= static_cast<unsigned char>(UpperAscii(c));
    hash *= 16777619u;
  }
  return hash == 0 ? 1 : hash;
}

const PhonebookEntry* FindHandle(const std::vector<PhonebookEntry>& book, uint32_t handle) {
  if (handle == 0) return nullptr;
  for (const PhonebookEntry& e : book)
    if (HandleOf(e.name) == handle) return &e;
  return nullptr;
}

bool ValidInterfaceName(std::string_view name) {
  return !name.empty() && name.size() < 16 && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos && !HasControl(name);
}

}  // namespace qv::platform::ras
