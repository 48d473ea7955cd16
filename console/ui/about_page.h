// The "About" page: the console's version, the server's host name, address and domain, and the
// versions of the three service programs.
#pragma once

#include "console/ui/console_page.h"

class QLabel;

namespace qv::console {

class AboutPage : public ConsolePage {
  Q_OBJECT

 public:
  explicit AboutPage(ConsoleContext& context, QWidget* parent = nullptr);

  void Load() override;

 private:
  QLabel* Value(const char* name);

  QLabel* host_;
  QLabel* address_;
  QLabel* domain_;
  QLabel* smtp_;
  QLabel* pop3_;
  QLabel* control_;
};

}  // namespace qv::console
