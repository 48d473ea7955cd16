// Plays the server's side of a collection conversation from the input: its lines are the
// replies, and after a positive reply to RETR the message lines (cut into pieces of the client's
// line limit) up to the end line, received into a temporary file with the header search of a
// shared account. Every line also goes through the address search and is read as an account's
// server.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/strings.h"
#include "pop3/collect.h"

namespace {

using namespace qv;
using namespace qv::pop3;

// A temporary folder for the run, removed at its end.
struct TempFolder {
  TempFolder() {
    char pattern[] = "/tmp/qvcollectfuzz.XXXXXX";
    path = mkdtemp(pattern);
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

const std::string& TempDirectory() {
  static const TempFolder folder;
  return folder.path;
}

bool IsLocal(std::string_view, std::string_view domain) {
  return EndsWithNoCase(domain, "example.test");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  FetchConversation conversation("user", "password");
  FetchedMessage* message = nullptr;
  FetchedMessage storage(true, IsLocal);
  size_t pos = 0;
  while (pos < input.size()) {
    size_t end = input.find('\n', pos);
    end = end == std::string_view::npos ? input.size() : end + 1;
    std::string_view line = input.substr(pos, end - pos);
    pos = end;
    AddressAround(line);
    AccountServer where;
    ParseAccountServer(line, 110, 2, &where);
    if (message != nullptr) {
      bool goes_on = true;
      for (size_t at = 0; goes_on && at < line.size(); at += kCollectLineMax)
        goes_on = message->AddLine(line.substr(at, kCollectLineMax));
      if (goes_on) continue;
      message->Finish();
      message->Recipients();
      message = nullptr;
      if (conversation.OnMessageEnd(true).end) break;
      continue;
    }
    FetchStep step = conversation.OnReply(line.substr(0, kCollectLineMax));
    if (step.receive) {
      if (!storage.Open(TempDirectory(), TempDirectory())) break;
      message = &storage;
    }
    if (step.end) break;
  }
  return 0;
}
