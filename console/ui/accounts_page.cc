#include "console/ui/accounts_page.h"

namespace qv::console {

AccountsPage::AccountsPage(ConsoleContext& context, QWidget* parent)
    : ConsolePage(context, parent) {}

void AccountsPage::Load() { set_dirty(false); }

}  // namespace qv::console
