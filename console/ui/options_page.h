// The "Options" page: ESMTP and the message size, what becomes of mail for unknown local users,
// and the fallbacks of the mail exchanger lookup.
#pragma once

#include "console/ui/settings_page.h"

namespace qv::console {

class OptionsPage : public SettingsPage {
  Q_OBJECT

 public:
  explicit OptionsPage(ConsoleContext& context, QWidget* parent = nullptr);
};

}  // namespace qv::console
