// The fixtures of the console's page tests:
// - DialogTest: the whole console dialog on an in-memory store (or on any store a test opens),
//   the messages it showed, and its widgets found by their object names;
// - AccountsTest: a console context on an in-memory store for the account tree and its dialogs,
//   with record builders.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QTabWidget>
#include <QWidget>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/testing/test_env.h"
#include "console/ui/console_dialog.h"
#include "console/ui/servers_page.h"
#include "console/ui/tests/fake_store_util.h"
#include "console/ui/tests/qt_app_util.h"

namespace qv::console::testing {

struct Shown {
  QString title;
  QString text;
};

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    MakeDialog(std::make_unique<FakeStore>());
  }

  void MakeDialog(std::unique_ptr<FakeStore> store) {
    store_ = store.get();
    Defaults(store_->settings);
    Open(std::move(store));
  }

  // A dialog on `store` that fails the test on any question nobody expected.
  void Open(std::unique_ptr<ConsoleStore> store) {
    shown_.clear();
    dialog_ = std::make_unique<ConsoleDialog>(std::move(store));
    dialog_->context().set_message_sink([this](const QString& title, const QString& text) {
      shown_.push_back({title, text});
    });
    // No modal window ever opens in a test: a question nobody answered fails it.
    dialog_->set_save_question([] {
      ADD_FAILURE() << "unexpected question: Save your changes?";
      return ConsoleDialog::Answer::kCancel;
    });
    dialog_->servers()->set_host_prompt([] {
      ADD_FAILURE() << "unexpected question: Host?";
      return std::string();
    });
    dialog_->servers()->set_connect_prompt([](ConnectRequest*) {
      ADD_FAILURE() << "unexpected question: Connect..";
      return false;
    });
  }

  // Settings as the service would have them, so that no field starts out of its range.
  static void Defaults(Settings& s) {
    s.system.Port = 32000;
    s.system.PasswordPort = 106;
    s.system.LogLevel = 4;
    s.system.MaxLogTime = 7;
    s.system.ConnectTime = 3600;
    s.system.ClosingTime = 90;
    s.smtp.Port = s.smtp.PortEx = 25;
    s.smtp.SMTPTimer = 900;
    s.smtp.ReturnTimer = 259200;
    s.smtp.ESMTPMaxMsgSize = 5000;
    s.pop3.Port = s.pop3.PortEx = 110;
    s.smtp.TLSVerify = s.pop3.TLSVerify = 1;
  }

  template <class W>
  W* Find(const char* name) {
    W* w = dialog_->findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  // The settings as the store holds them after the dialog saved.
  Settings& Saved() {
    bool saved = dialog_->Save();
    std::string why;
    for (const auto& shown : shown_) why += shown.text.toStdString() + "\n";
    EXPECT_TRUE(saved) << why;
    return store_->settings;
  }

  int DirtyPages() const {
    int n = 0;
    for (int i = 0; i < dialog_->tabs()->count(); ++i) n += dialog_->page(i)->dirty() ? 1 : 0;
    return n;
  }

  // The console's local mode falls back on this computer's store: a fresh system root.
  qv::testing::ScopedSystemRoot root_;
  FakeStore* store_ = nullptr;  // owned by the dialog's context while it is the store
  std::unique_ptr<ConsoleDialog> dialog_;
  std::vector<Shown> shown_;
};

template <size_t N>
void Put(char (&field)[N], std::string_view text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

inline TableRecord User(std::string_view alias, std::string_view domain) {
  USERSTRUCT user{};
  Put(user.Alias, alias);
  Put(user.Domain, domain);
  Put(user.Mailbox, alias);
  return TableRecord(user);
}

class AccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    auto store = std::make_unique<FakeStore>(remote_, remote_ ? "mailhost" : "");
    store_ = store.get();
    context_ = std::make_unique<ConsoleContext>(std::move(store));
    Put(context_->settings().system.ConfigPath, "/srv/qv/config");
    Put(context_->settings().system.Domain, "example.com;example.org");
    context_->set_message_sink(
        [this](const QString&, const QString& text) { messages_.push_back(text); });
  }

  int Calls(const char* name) const {
    return static_cast<int>(std::count(store_->calls.begin(), store_->calls.end(), name));
  }

  bool remote_ = false;
  qv::testing::ScopedSystemRoot root_;  // where a switch to local mode looks
  FakeStore* store_ = nullptr;          // owned by the context while it is the store
  std::unique_ptr<ConsoleContext> context_;
  std::vector<QString> messages_;
};

}  // namespace qv::console::testing
