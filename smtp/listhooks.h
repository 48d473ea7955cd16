// The mailing-list and auto-responder operations that delivery calls. Delivery knows them only
// through these declarations; the list and responder code provides them.
#pragma once

#include <string_view>

#include "common/records.h"

namespace qv::smtp {

// Sends the message in `spool_fd` to the members of `list` (top_level as delivery was called).
int DistributeToList(const LISTSTRUCT& list, std::string_view reverse_path, int spool_fd,
                     bool top_level);

// Carries out the list commands found in a message sent to a list manager's address.
int ProcessListCommands(std::string_view reverse_path, std::string_view manager_address,
                        int spool_fd);

// True while the list code delivers one of its own replies: such mail is not read for
// commands when it reaches a list manager.
bool ListCommandsInProgress();

// Adds `sender` to the list named `list_name`, with the display name `name` (may be empty).
int JoinList(std::string_view sender, std::string_view list_name, std::string_view name);

// Sends the auto response `responder` to `sender` on behalf of `user_address`.
int RunResponder(std::string_view sender, std::string_view user_address,
                 std::string_view responder);

}  // namespace qv::smtp
