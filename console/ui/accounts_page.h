// The "Accounts" page: the tree of the six tables, each category loaded from the store when it
// is first expanded, with add, edit and remove through the record dialogs.
#pragma once

#include "console/ui/console_page.h"

namespace qv::console {

class AccountsPage : public ConsolePage {
  Q_OBJECT

 public:
  explicit AccountsPage(ConsoleContext& context, QWidget* parent = nullptr);

  // Empties the tree: every category holds its "~" placeholder again and is loaded anew when
  // expanded (after a change of mode).
  void Load() override;
};

}  // namespace qv::console
