// The "Forwarding" page: how outgoing mail leaves (DNS, a smart host), when the queue is run,
// and what happens to mail that cannot be delivered.
#pragma once

#include "console/ui/settings_page.h"

namespace qv::console {

class ForwardingPage : public SettingsPage {
  Q_OBJECT

 public:
  explicit ForwardingPage(ConsoleContext& context, QWidget* parent = nullptr);
};

}  // namespace qv::console
