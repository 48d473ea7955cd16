// Every fixed text of the Accounts page and its dialogs, in one place. Formats are printf-style
// (common/strings.h Format).
#pragma once

namespace qv::console {

// The account tree: the category nodes in their order, and the child of a category that has
// not been loaded yet.
inline constexpr char kCategoryUsers[] = "Users";
inline constexpr char kCategoryLists[] = "Mailing lists";
inline constexpr char kCategoryResponders[] = "Auto Responders";
inline constexpr char kCategoryCommands[] = "Executables";
inline constexpr char kCategoryAccounts[] = "Remote POP accounts";
inline constexpr char kCategoryRoutes[] = "Static routes";
inline constexpr char kPlaceholder[] = "~";

// The page's buttons.
inline constexpr char kButtonAdd[] = "Add..";
inline constexpr char kButtonEdit[] = "Edit..";
inline constexpr char kButtonRemove[] = "Remove";
inline constexpr char kButtonMembers[] = "Members..";

// Removing a record (title, question with the node's text).
inline constexpr char kRemoveTitle[] = "Remove?";
inline constexpr char kRemoveQuestion[] = "Remove '%s'?";

// Record dialog titles.
inline constexpr char kUserTitle[] = "User";
inline constexpr char kListTitle[] = "Mailing List";
inline constexpr char kResponderTitle[] = "Auto Responder";
inline constexpr char kCommandTitle[] = "Executable";
inline constexpr char kAccountTitle[] = "Remote POP Account";
inline constexpr char kRouteTitle[] = "Static Route";

// Member dialogs: the title with the list's address, and the picker of local users.
inline constexpr char kMembersTitle[] = "Members of mailing list  '%s'";
inline constexpr char kLocalUsersTitle[] = "Local Users";
inline constexpr char kButtonLocalUsers[] = "Local Users..";
inline constexpr char kButtonAddMember[] = "Add";
// A member, or a local user, as a list row: address, name.
inline constexpr char kMemberRow[] = "%s (%s)";

// File choosers (Qt filter syntax).
inline constexpr char kFilterLists[] = "Mailing lists (*.mls);;All files (*)";
inline constexpr char kFilterTexts[] = "Text files (*.txt);;All files (*)";
inline constexpr char kFilterPrograms[] = "Program files (*.exe *.com *.bat);;All files (*)";
inline constexpr char kChooseButton[] = "...";

// Interval units of a remote POP account, and their lengths in seconds.
inline constexpr const char* kIntervalUnits[] = {"Seconds", "Minutes", "Hours", "Days"};
inline constexpr int kIntervalUnitSeconds[] = {1, 60, 3600, 86400};

// Route types by their value (0, 1, 2).
inline constexpr const char* kRouteTypes[] = {"To a mail address", "To a mail host", "To a domain"};
// A type value this console does not know, kept as it is.
inline constexpr char kRouteTypeOther[] = "Type %d";

// Refusals of a record dialog and of the member dialog (field label).
inline constexpr char kFieldHasBar[] = "'%s' cannot hold the character '|'.";
inline constexpr char kFieldHasLineBreak[] = "'%s' cannot hold a line break.";
inline constexpr char kFieldTooLong[] = "'%s' is too long: at most %d bytes.";
inline constexpr char kFieldEmpty[] = "'%s' must not be empty.";
inline constexpr char kKeywordsRemote[] =
    "Keyword definitions of more than one line cannot be sent to a remote server.";
inline constexpr char kIntervalTooLong[] = "The interval is too long.";
inline constexpr char kAlreadyMember[] = "'%s' is already a member of the list.";
inline constexpr char kFieldNotAddress[] = "'%s' must be a mail address (name@domain).";
inline constexpr char kFieldNotAddresses[] =
    "'%s' must hold mail addresses (name@domain), separated by ';'.";
inline constexpr char kOwnerForJoin[] =
    "'%s' must not be empty: without automatic joining, join requests go to the list's owner.";
inline constexpr char kOwnerForOptions[] =
    "'%s' must not be empty: the options chosen send to the list's owner or accept mail from the "
    "owner only.";

}  // namespace qv::console
