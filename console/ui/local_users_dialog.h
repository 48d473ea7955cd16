// "Local Users": the users of the user table (loaded through the store), from which members of
// a mailing list are picked. A user's member address is "<alias>@<domain>"; a user whose domain
// is a mask ("*", "?") gets the primary local domain instead, and is left out when there is none.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "common/records.h"
#include "console/ui/console_page.h"

class QListWidget;

namespace qv::console {

class LocalUsersDialog : public QDialog {
  Q_OBJECT

 public:
  explicit LocalUsersDialog(ConsoleContext& context, QWidget* parent = nullptr);

  // Loads the user table (with the wait cursor); false after a failure, which was reported.
  bool Load();

  // The users selected, as members (address, full name), in table order.
  std::vector<MEMBERSTRUCT> Chosen() const;

  QListWidget* list() const { return rows_; }

 private:
  ConsoleContext& context_;
  std::vector<MEMBERSTRUCT> users_;
  QListWidget* rows_;
};

// The member address of a user ("" when it has none): see above.
std::string MemberAddressOf(const USERSTRUCT& user, const SYSTEMSTRUCT& system);

}  // namespace qv::console
