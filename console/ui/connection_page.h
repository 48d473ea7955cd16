// The "Connection" page: network or dial-up, the dial-up entry with its login and timing, and the
// ports of the services.
#pragma once

#include "console/ui/settings_page.h"

namespace qv::console {

class ConnectionPage : public SettingsPage {
  Q_OBJECT

 public:
  explicit ConnectionPage(ConsoleContext& context, QWidget* parent = nullptr);

 protected:
  void LoadExtra() override;

 private:
  QComboBox* ras_entry_;
};

}  // namespace qv::console
