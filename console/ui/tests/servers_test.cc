// The Servers page's service rows: state texts, which buttons are usable in which state and
// mode, and a button's command followed by a fresh look at the states.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include "console/ui/servers_page.h"
#include "console/ui/tests/dialog_fixture_util.h"

namespace qv::console::testing {
namespace {

struct ButtonsCase {
  ServiceState state;
  bool remote;
  const char* text;
  ServiceButtons expected;  // install, start, stop, remove
};

const ButtonsCase kButtonCases[] = {
    {ServiceState::kUnknown, false, "Unknown", {false, false, false, false}},
    {ServiceState::kNotInstalled, false, "Not installed", {true, false, false, false}},
    {ServiceState::kNotStarted, false, "Not started", {false, true, false, true}},
    {ServiceState::kStarted, false, "Started", {false, false, true, true}},
    {ServiceState::kPaused, false, "Paused", {false, true, true, true}},
    // The control service only starts and stops.
    {ServiceState::kNotInstalled, true, "Not installed", {false, false, false, false}},
    {ServiceState::kNotStarted, true, "Not started", {false, true, false, false}},
    {ServiceState::kStarted, true, "Started", {false, false, true, false}},
};

std::string Flags(const ServiceButtons& b) {
  return std::string(b.install ? "I" : "-") + (b.start ? "S" : "-") + (b.stop ? "T" : "-") +
         (b.remove ? "R" : "-");
}

TEST(ServiceButtonsTest, ButtonsFollowTheState) {
  for (const ButtonsCase& c : kButtonCases) {
    SCOPED_TRACE(std::string(c.text) + (c.remote ? " remote" : " local"));
    EXPECT_EQ(Flags(ButtonsFor(c.state, c.remote)), Flags(c.expected));
    EXPECT_STREQ(StateText(c.state), c.text);
  }
}

class ServersPageTest : public DialogTest {
 protected:
  std::string Row(const char* service) {
    const std::string p = service;
    ServiceButtons b{Find<QPushButton>((p + "Install").c_str())->isEnabled(),
                     Find<QPushButton>((p + "Start").c_str())->isEnabled(),
                     Find<QPushButton>((p + "Stop").c_str())->isEnabled(),
                     Find<QPushButton>((p + "Remove").c_str())->isEnabled()};
    return Find<QLabel>((p + "State").c_str())->text().toStdString() + " " + Flags(b);
  }
};

TEST_F(ServersPageTest, RowsShowTheStates) {
  store_->states = {ServiceState::kNotInstalled, ServiceState::kStarted};
  dialog_->Reload();
  EXPECT_EQ(Row("Smtp"), "Not installed I---");
  EXPECT_EQ(Row("Pop3"), "Started --TR");
}

TEST_F(ServersPageTest, AButtonActsThenTheStatesAreReadAgain) {
  store_->states = {ServiceState::kNotInstalled, ServiceState::kStarted};
  dialog_->Reload();
  store_->states = {ServiceState::kNotStarted, ServiceState::kNotStarted};
  store_->calls.clear();
  Find<QPushButton>("SmtpInstall")->click();
  EXPECT_EQ(store_->actions, std::vector<std::string>{"1:2"});
  EXPECT_EQ(store_->calls, (std::vector<std::string>{"ServiceAction", "QueryServices"}));
  EXPECT_EQ(Row("Smtp"), "Not started -S-R");
  Find<QPushButton>("Pop3Start")->click();
  EXPECT_EQ(store_->actions.back(), "2:5");
}

TEST_F(ServersPageTest, AFailedActionIsReportedAndChangesNothing) {
  struct Refusing : FakeStore {
    Status ServiceAction(int, int) override { return Fail("Permission denied"); }
  };
  MakeDialog(std::make_unique<Refusing>());
  store_->states = {ServiceState::kNotStarted, ServiceState::kNotStarted};
  dialog_->Reload();
  Find<QPushButton>("SmtpStart")->click();
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].text.toStdString(), "Permission denied");
  EXPECT_EQ(Row("Smtp"), "Not started -S-R");
}

TEST_F(ServersPageTest, RemoteModeOnlyStartsAndStops) {
  MakeDialog(std::make_unique<FakeStore>(true, "far.example.test"));
  store_->states = {ServiceState::kStarted, ServiceState::kNotStarted};
  dialog_->Reload();
  EXPECT_EQ(Row("Smtp"), "Started --T-");
  EXPECT_EQ(Row("Pop3"), "Not started -S--");
  EXPECT_TRUE(Find<QPushButton>("SmtpInstall")->isHidden());
  EXPECT_TRUE(Find<QPushButton>("SmtpRemove")->isHidden());
  // The start entry is the other computer's business.
  EXPECT_FALSE(Find<QCheckBox>("SmtpAutostart")->isEnabled());
}

TEST_F(ServersPageTest, StatesThatCannotBeReadDisableTheButtons) {
  struct Blind : FakeStore {
    Result<ServiceStates> QueryServices() override { return Fail("no service manager"); }
  };
  MakeDialog(std::make_unique<Blind>());
  dialog_->Reload();
  EXPECT_EQ(Row("Smtp"), "Unknown ----");
  EXPECT_EQ(Row("Pop3"), "Unknown ----");
}

}  // namespace
}  // namespace qv::console::testing
