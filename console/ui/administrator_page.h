// The "Administrator" page: who the administrator is, the Windows NT security options (the group
// chosen from the server's groups) and the senders never added to a list on a user's behalf.
#pragma once

#include "console/ui/settings_page.h"

namespace qv::console {

class AdministratorPage : public SettingsPage {
  Q_OBJECT

 public:
  explicit AdministratorPage(ConsoleContext& context, QWidget* parent = nullptr);

 protected:
  void LoadExtra() override;

 private:
  QComboBox* nt_user_;
};

// The group name of an NtGroups() text "name  (comment)".
std::string GroupName(const QString& choice);

}  // namespace qv::console
