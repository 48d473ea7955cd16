// The settings pages: every field shows the value the store gave, and an edit marks its page
// dirty and lands in the settings that are saved. Driven by tables over the fields.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <climits>
#include <cstring>
#include <functional>

#include "common/records.h"
#include "console/ui/administrator_page.h"
#include "console/ui/settings_page.h"
#include "console/ui/tests/dialog_fixture_util.h"

namespace qv::console::testing {
namespace {

struct TextField {
  const char* name;
  std::function<char*(Settings&)> field;
  size_t width;
};
// The widgets carry the names of the fields they show.
// clang-format off
#define QV_TEXT_FIELD(record, member) \
  TextField{#member, [](Settings& s) { return s.record.member; }, sizeof(Settings{}.record.member)}
// clang-format on

const TextField kTextFields[] = {
    QV_TEXT_FIELD(system, HostName),          QV_TEXT_FIELD(system, NameServer),
    QV_TEXT_FIELD(system, AdministratorName), QV_TEXT_FIELD(system, AdministratorMailBox),
    QV_TEXT_FIELD(system, NTDomain),          QV_TEXT_FIELD(system, RASUser),
    QV_TEXT_FIELD(system, RASPassword),       QV_TEXT_FIELD(system, LogViewer),
    QV_TEXT_FIELD(system, LogPath),           QV_TEXT_FIELD(system, TempPath),
    QV_TEXT_FIELD(system, MailPath),          QV_TEXT_FIELD(system, ConfigPath),
    QV_TEXT_FIELD(smtp, ExchangeHost),        QV_TEXT_FIELD(smtp, ForwardUnknown),
};

TEST_F(DialogTest, TextFieldsLoadAndStore) {
  for (const TextField& f : kTextFields) {
    SCOPED_TRACE(f.name);
    CopyField(f.field(store_->settings), f.width, std::string("loaded-") + f.name);
    dialog_->Reload();
    QLineEdit* edit = Find<QLineEdit>(f.name);
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->text().toStdString(), std::string("loaded-") + f.name);
    EXPECT_EQ(edit->maxLength(), static_cast<int>(f.width - 1));  // nothing is cut on saving
    EXPECT_EQ(DirtyPages(), 0);
    // Mail for unknown users is forwarded to addresses.
    const std::string edited =
        std::string("edited-") + f.name +
        (std::string_view(f.name) == "ForwardUnknown" ? "@example.test" : "");
    edit->setText(QString::fromStdString(edited));
    EXPECT_EQ(DirtyPages(), 1);
    EXPECT_EQ(FieldText(f.field(Saved()), f.width), edited);
    EXPECT_EQ(DirtyPages(), 0);
  }
}

struct FlagField {
  const char* name;
  bool system;  // the common word, else the SMTP word
  uint32_t bit;
};

const FlagField kFlagFields[] = {
    {"NTUSER", true, kSysNtUser},
    {"PING", true, kSysPing},
    {"USEDNS", false, kSmtpUseDns},
    {"USEMX", false, kSmtpUseMx},
    {"IMMEDIATELLY", false, kSmtpImmediately},
    {"RETRY", false, kSmtpRetry},
    {"RETURNTOSENDER", false, kSmtpReturnToSender},
    {"SENDINFO", false, kSmtpSendInfo},
    {"ATTACHMESSAGE", false, kSmtpAttachMessage},
    {"ESMTP", false, kSmtpEsmtp},
    {"ENFORCESIZE", false, kSmtpEnforceSize},
    {"CLIENTEHLO", false, kSmtpClientEhlo},
    {"ESMTPSIZE", false, kSmtpEsmtpSize},
    {"NOTIFYUNKNOWN", false, kSmtpNotifyUnknown},
    {"FORWARDUNKNOWN", false, kSmtpForwardUnknown},
    {"SEARCHUNKNOWN", false, kSmtpSearchUnknown},
    {"DNSSUBDOMAIN", false, kSmtpDnsSubdomain},
    {"DOMAINASHOST", false, kSmtpDomainAsHost},
};

TEST_F(DialogTest, FlagsLoadAndStoreTheirBitAlone) {
  for (const FlagField& f : kFlagFields) {
    SCOPED_TRACE(f.name);
    auto word = [&f](Settings& s) -> uint32_t& { return f.system ? s.system.Flags : s.smtp.Flags; };
    // Only this bit set: the box is checked; ticking it off clears only this bit.
    store_->settings.system.Flags = 0;
    store_->settings.smtp.Flags = 0;
    word(store_->settings) = f.bit;
    dialog_->Reload();
    QCheckBox* box = Find<QCheckBox>(f.name);
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isChecked());
    box->setChecked(false);
    EXPECT_EQ(DirtyPages(), 1);
    Settings saved = Saved();
    EXPECT_EQ(word(saved), 0u);
    // Every other bit set: ticking it on adds this bit and keeps the others.
    word(store_->settings) = ~f.bit;
    dialog_->Reload();
    EXPECT_FALSE(box->isChecked());
    box->setChecked(true);
    saved = Saved();
    EXPECT_EQ(word(saved), 0xFFFFFFFFu);
  }
}

TEST_F(DialogTest, DialupIsAChoiceBetweenNetworkAndDialup) {
  store_->settings.system.Flags = kSysPing;
  dialog_->Reload();
  EXPECT_TRUE(Find<QRadioButton>("Network")->isChecked());
  // The dial-up fields are of no use on the network.
  EXPECT_FALSE(Find<QComboBox>("RASEntry")->isEnabled());
  Find<QRadioButton>("DIALUP")->setChecked(true);
  EXPECT_TRUE(Find<QComboBox>("RASEntry")->isEnabled());
  EXPECT_EQ(Saved().system.Flags, kSysPing | kSysDialup);
  Find<QRadioButton>("Network")->setChecked(true);
  EXPECT_EQ(Saved().system.Flags, kSysPing);
}

struct NumberField {
  const char* name;
  std::function<int32_t&(Settings&)> field;
};

const NumberField kNumberFields[] = {
    {"SmtpPort", [](Settings& s) -> int32_t& { return s.smtp.Port; }},
    {"SmtpPortEx", [](Settings& s) -> int32_t& { return s.smtp.PortEx; }},
    {"Pop3Port", [](Settings& s) -> int32_t& { return s.pop3.Port; }},
    {"Pop3PortEx", [](Settings& s) -> int32_t& { return s.pop3.PortEx; }},
    {"PasswordPort", [](Settings& s) -> int32_t& { return s.system.PasswordPort; }},
    {"ESMTPMaxMsgSize", [](Settings& s) -> int32_t& { return s.smtp.ESMTPMaxMsgSize; }},
    {"MaxLogTime", [](Settings& s) -> int32_t& { return s.system.MaxLogTime; }},
};

TEST_F(DialogTest, NumbersLoadAndStore) {
  // Each field its own value: two listening ports may not share one.
  int32_t value = 4321;
  for (const NumberField& f : kNumberFields) {
    SCOPED_TRACE(f.name);
    f.field(store_->settings) = 1234;
    dialog_->Reload();
    QSpinBox* spin = Find<QSpinBox>(f.name);
    ASSERT_NE(spin, nullptr);
    EXPECT_EQ(spin->value(), 1234);
    spin->setValue(++value);
    EXPECT_EQ(DirtyPages(), 1);
    Settings saved = Saved();
    EXPECT_EQ(f.field(saved), value);
  }
}

TEST_F(DialogTest, NumbersOutOfTheirRangeAreKeptUntilChanged) {
  store_->settings.smtp.Port = 70000;  // no port, but the store's to keep
  dialog_->Reload();
  EXPECT_EQ(Find<QSpinBox>("SmtpPort")->value(), 65535);
  EXPECT_EQ(Saved().smtp.Port, 70000);
  // A port nothing listens on: the page refuses one another program holds.
  const int port = qv::testing::FreeLoopbackPort();
  Find<QSpinBox>("SmtpPort")->setValue(port);
  EXPECT_EQ(Saved().smtp.Port, port);
}

struct IntervalCase {
  const char* name;
  std::function<int32_t&(Settings&)> field;
  int32_t stored;
  int number;
  const char* unit;
};

int32_t& ConnectTime(Settings& s) {
  return s.system.ConnectTime;
}
int32_t& SmtpTimer(Settings& s) {
  return s.smtp.SMTPTimer;
}
int32_t& ReturnTimer(Settings& s) {
  return s.smtp.ReturnTimer;
}
int32_t& ClosingTime(Settings& s) {
  return s.system.ClosingTime;
}

const IntervalCase kIntervals[] = {
    // Minutes, hours and days, as the control service shows them.
    {"ConnectTime", ConnectTime, 3600, 60, "Minutes"},
    {"ConnectTime", ConnectTime, 7200, 2, "Hours"},
    {"SMTPTimer", SmtpTimer, 900, 15, "Minutes"},
    {"ReturnTimer", ReturnTimer, 259200, 3, "Days"},
    // Seconds, minutes and hours.
    {"ClosingTime", ClosingTime, 90, 90, "Seconds"},
    {"ClosingTime", ClosingTime, 120, 2, "Minutes"},
    {"ClosingTime", ClosingTime, 7200, 2, "Hours"},
};

TEST_F(DialogTest, IntervalsShowNumberAndUnit) {
  for (const IntervalCase& c : kIntervals) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.stored));
    c.field(store_->settings) = c.stored;
    dialog_->Reload();
    EXPECT_EQ(Find<QSpinBox>(c.name)->value(), c.number);
    EXPECT_EQ(Find<QComboBox>((std::string(c.name) + "Unit").c_str())->currentText(), c.unit);
    Settings saved = Saved();
    EXPECT_EQ(c.field(saved), c.stored);
  }
}

TEST_F(DialogTest, IntervalEditsBecomeSeconds) {
  dialog_->Reload();
  Find<QSpinBox>("SMTPTimer")->setValue(5);
  Find<QComboBox>("SMTPTimerUnit")->setCurrentText("Hours");
  Find<QSpinBox>("ClosingTime")->setValue(45);
  Find<QComboBox>("ClosingTimeUnit")->setCurrentText("Seconds");
  // Far too many days: the most a setting holds, not a wrapped number.
  Find<QSpinBox>("ReturnTimer")->setValue(99999);
  Find<QComboBox>("ReturnTimerUnit")->setCurrentText("Days");
  const Settings& saved = Saved();
  EXPECT_EQ(saved.smtp.SMTPTimer, 5 * 3600);
  EXPECT_EQ(saved.system.ClosingTime, 45);
  EXPECT_EQ(saved.smtp.ReturnTimer, INT32_MAX);
}

TEST_F(DialogTest, AnIntervalTheUnitsCannotShowIsNotRoundedByASave) {
  store_->settings.smtp.SMTPTimer = 90;  // shown as 1 minute
  dialog_->Reload();
  EXPECT_EQ(Find<QSpinBox>("SMTPTimer")->value(), 1);
  Find<QLineEdit>("HostName")->setText("other.example.test");
  EXPECT_EQ(Saved().smtp.SMTPTimer, 90);
  // Changed and saved, then set back to the minute it showed: now that minute is meant.
  Find<QSpinBox>("SMTPTimer")->setValue(2);
  EXPECT_EQ(Saved().smtp.SMTPTimer, 120);
  Find<QSpinBox>("SMTPTimer")->setValue(1);
  EXPECT_EQ(Saved().smtp.SMTPTimer, 60);
}

TEST_F(DialogTest, LogLevelByName) {
  const char* names[] = {"No Logging",        "Error Level", "Warning Level",
                         "Information Level", "Debug Level", "Extended Debug Level"};
  for (int level = 0; level <= 5; ++level) {
    store_->settings.system.LogLevel = level;
    dialog_->Reload();
    EXPECT_EQ(Find<QComboBox>("LogLevel")->currentText().toStdString(), names[level]);
  }
  Find<QComboBox>("LogLevel")->setCurrentIndex(2);
  EXPECT_EQ(Saved().system.LogLevel, 2);
  // A level without a name stays unless another is chosen.
  store_->settings.system.LogLevel = 9;
  dialog_->Reload();
  EXPECT_EQ(Saved().system.LogLevel, 9);
}

struct ListCase {
  const char* name;
  std::function<char*(Settings&)> field;
  size_t width;
};

const ListCase kLists[] = {
    {"Domain", [](Settings& s) { return s.system.Domain; }, sizeof(SYSTEMSTRUCT{}.Domain)},
    {"NoResponse", [](Settings& s) { return s.system.NoResponse; },
     sizeof(SYSTEMSTRUCT{}.NoResponse)},
};

TEST_F(DialogTest, ListsAreKeptWithTheSeparatorTheSystemReads) {
  for (const ListCase& c : kLists) {
    SCOPED_TRACE(c.name);
    CopyField(c.field(store_->settings), c.width, " a.test ;;b.test");
    dialog_->Reload();
    auto* list = Find<QListWidget>((std::string(c.name) + "List").c_str());
    auto* edit = dialog_->findChild<ListEdit*>(c.name);
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->Entries().join(",").toStdString(), "a.test,b.test");
    // Added, and not again in other case; an entry with the separator is no entry.
    edit->entry()->setText("c.test");
    EXPECT_TRUE(edit->AddEntry());
    edit->entry()->setText("C.TEST");
    EXPECT_FALSE(edit->AddEntry());
    edit->entry()->setText("d.test;e.test");
    EXPECT_FALSE(edit->AddEntry());
    EXPECT_EQ(DirtyPages(), 1);
    EXPECT_EQ(FieldText(c.field(Saved()), c.width), "a.test;b.test;c.test");
    list->setCurrentRow(0);
    edit->RemoveSelected();
    EXPECT_EQ(FieldText(c.field(Saved()), c.width), "b.test;c.test");
  }
}

TEST_F(DialogTest, AnEntryThatWouldNotFitIsRefusedWithAMessage) {
  CopyField(store_->settings.system.Domain, std::string(245, 'a'));
  dialog_->Reload();
  auto* edit = dialog_->findChild<ListEdit*>("Domain");
  edit->entry()->setText("example.test");  // 245 + 1 + 12 > 254
  dialog_->findChild<QPushButton*>("DomainAdd")->click();
  EXPECT_EQ(edit->Entries().size(), 1);
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text.toStdString(), "The list does not fit: at most 254 characters.");
  EXPECT_EQ(FieldText(Saved().system.Domain), std::string(245, 'a'));
}

TEST_F(DialogTest, ChoicesFromTheStoreAndTheNamesStored) {
  store_->groups = {"Users  (Ordinary users)", "Mail  (Mail users)"};
  store_->phone_book = {"Office", "Home"};
  CopyField(store_->settings.system.NTUser, "Mail");
  CopyField(store_->settings.system.RASEntry, "Home");
  dialog_->Reload();
  QComboBox* group = Find<QComboBox>("NTUser");
  QComboBox* entry = Find<QComboBox>("RASEntry");
  EXPECT_EQ(group->count(), 2);
  EXPECT_EQ(group->currentText(), "Mail");
  EXPECT_EQ(entry->count(), 2);
  EXPECT_EQ(entry->currentText(), "Home");
  EXPECT_EQ(DirtyPages(), 0);
  group->setCurrentIndex(0);
  entry->setCurrentIndex(0);
  const Settings& saved = Saved();
  EXPECT_EQ(FieldText(saved.system.NTUser), "Users");  // the group's name, not its comment
  EXPECT_EQ(FieldText(saved.system.RASEntry), "Office");
  EXPECT_EQ(GroupName("  Staff  (all of them)"), "Staff");
  EXPECT_EQ(GroupName("Staff"), "Staff");
}

TEST_F(DialogTest, ChoicesTheStoreCannotGiveLeaveTheFieldFree) {
  // A failure other than a broken connection is no reason for a message box on every load.
  struct NoChoices : FakeStore {
    Result<std::vector<std::string>> NtGroups() override { return Fail("no groups here"); }
  };
  MakeDialog(std::make_unique<NoChoices>());
  CopyField(store_->settings.system.NTUser, "Staff");
  dialog_->Reload();
  EXPECT_TRUE(shown_.empty());
  EXPECT_EQ(Find<QComboBox>("NTUser")->currentText(), "Staff");
}

TEST_F(DialogTest, AutostartMarks) {
  store_->settings.autostart_smtp = true;
  dialog_->Reload();
  EXPECT_TRUE(Find<QCheckBox>("SmtpAutostart")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>("Pop3Autostart")->isChecked());
  Find<QCheckBox>("SmtpAutostart")->setChecked(false);
  Find<QCheckBox>("Pop3Autostart")->setChecked(true);
  const Settings& saved = Saved();
  EXPECT_FALSE(saved.autostart_smtp);
  EXPECT_TRUE(saved.autostart_pop3);
}

TEST_F(DialogTest, EventLogAndAboutShowWhatTheStoreTells) {
  store_->logs.smtp = {"s20261207.txt", "s20261208.txt"};
  store_->logs.pop3 = {"p20261208.txt"};
  CopyField(store_->settings.system.HostName, "mail.example.test");
  CopyField(store_->settings.system.Domain, "example.test");
  CopyField(store_->settings.net.Address, "127.0.0.1");
  dialog_->Reload();
  EXPECT_EQ(Find<QListWidget>("SmtpLogs")->count(), 2);
  EXPECT_EQ(Find<QListWidget>("Pop3Logs")->item(0)->text(), "p20261208.txt");
  EXPECT_EQ(Find<QLabel>("AboutHost")->text(), "mail.example.test");
  EXPECT_EQ(Find<QLabel>("AboutAddress")->text(), "127.0.0.1");
  EXPECT_EQ(Find<QLabel>("AboutDomain")->text(), "example.test");
  EXPECT_EQ(Find<QLabel>("SmtpVersion")->text(), "<unknown>");
}

TEST(QtFilterTest, ChoosersInQtsForm) {
  TestApp();
  EXPECT_EQ(QtFilter("Mailing lists (*.mls)|*.mls"), "Mailing lists (*.mls)");
  EXPECT_EQ(QtFilter("Text files (*.txt)|*.txt"), "Text files (*.txt)");
  EXPECT_EQ(QtFilter("Program files|*.exe;*.com;*.bat"), "Program files (*.exe *.com *.bat)");
  EXPECT_EQ(QtFilter("All files (*)"), "All files (*)");
}

}  // namespace
}  // namespace qv::console::testing
