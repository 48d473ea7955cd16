#include "serve/command_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/testing/test_env.h"
#include "common/trace.h"

namespace qv {
namespace {

enum class ToyState : uint32_t { kStart = 0, kNamed = 1, kClosing = 2 };

constexpr uint32_t kAnyToyState = 0x7;
constexpr const char* kToyStateNames[] = {"Start", "Named", "Closing"};
constexpr long kToyTraceLevel = 20;

// A session of a made-up protocol; every reply names the handler and the line it was given.
class Toy {
 public:
  using Table = CommandTable<Toy, ToyState>;

  explicit Toy(const Table& table) : table_(table), state_(table.names, ToyState::kStart) {}

  CommandReply Dispatch(std::string_view line) { return table_.Dispatch(*this, state_, line); }
  void EnterState(ToyState next) { state_.EnterState(next); }
  ToyState state() const { return state_.get(); }

  CommandReply Name(std::string_view line) {
    EnterState(ToyState::kNamed);
    return Say("Name", line);
  }
  CommandReply Names(std::string_view line) { return Say("Names", line); }
  CommandReply Quit(std::string_view line) {
    EnterState(ToyState::kClosing);
    return Say("Quit", line);
  }
  CommandReply Other(std::string_view line) { return Say("Other", line); }

 private:
  static CommandReply Say(const char* handler, std::string_view line) {
    CommandReply reply;
    reply.code = 2;
    reply.text = std::string(handler) + ":" + std::string(line);
    return reply;
  }

  const Table& table_;
  CommandState<ToyState> state_;
};

constexpr uint32_t kQuitMark = 1;

// "NAME" comes before "NAMES", so in the start state a line beginning "NAMES" is a NAME.
const Toy::Table::Row kPrefixRows[] = {
    {"NAME", &Toy::Name, StateBit(ToyState::kStart)},
    {"NAMES", &Toy::Names, StateBit(ToyState::kStart) | StateBit(ToyState::kNamed)},
    {"QUIT", &Toy::Quit, kAnyToyState, kQuitMark},
};
const Toy::Table kPrefixTable = {
    .names = {"Toy", kToyStateNames, kToyTraceLevel},
    .match = VerbMatch::kPrefix,
    .rows = kPrefixRows,
    .unknown = {1, "unknown"},
    .wrong_state = {1, "wrong state"},
    .closing = ToyState::kClosing,
};

// After NAME every line that is no other command goes to Other.
const Toy::Table::Row kFourRows[] = {
    {"NAME", &Toy::Name, StateBit(ToyState::kStart)},
    {"QUIT", &Toy::Quit, kAnyToyState},
    {"", &Toy::Other, StateBit(ToyState::kNamed)},
};
const Toy::Table kFourTable = {
    .names = {"Toy", kToyStateNames, kToyTraceLevel},
    .match = VerbMatch::kFirstFour,
    .rows = kFourRows,
    .unknown = {1, "unknown"},
    .wrong_state = {1, "wrong state"},
    .closing = ToyState::kClosing,
};

TEST(CommandTable, RowsRunInTheirStatesByEachMatchRule) {
  struct Case {
    const Toy::Table* table;
    const char* before;  // a line dispatched first, or null
    const char* line;
    const char* reply;
    ToyState after;
  } cases[] = {
      {&kPrefixTable, nullptr, "name ann", "Name:name ann", ToyState::kNamed},
      {&kPrefixTable, nullptr, "NAMES", "Name:NAMES", ToyState::kNamed},
      {&kPrefixTable, "NAME", "names x", "Names:names x", ToyState::kNamed},
      {&kPrefixTable, "NAME", "NAME", "wrong state", ToyState::kNamed},
      {&kPrefixTable, nullptr, "NAM", "unknown", ToyState::kStart},
      {&kPrefixTable, nullptr, "", "unknown", ToyState::kStart},
      {&kPrefixTable, nullptr, " NAME", "unknown", ToyState::kStart},
      {&kPrefixTable, nullptr, "QuitNow", "Quit:QuitNow", ToyState::kClosing},
      {&kFourTable, nullptr, "nameless", "Name:nameless", ToyState::kNamed},
      {&kFourTable, nullptr, "NAM", "wrong state", ToyState::kStart},
      {&kFourTable, nullptr, "HELO", "wrong state", ToyState::kStart},
      {&kFourTable, "NAME", "NAME", "Other:NAME", ToyState::kNamed},
      {&kFourTable, "NAME", "", "Other:", ToyState::kNamed},
      {&kFourTable, "NAME", "quit", "Quit:quit", ToyState::kClosing},
  };
  for (const Case& c : cases) {
    Toy toy(*c.table);
    if (c.before != nullptr) toy.Dispatch(c.before);
    CommandReply reply = toy.Dispatch(c.line);
    EXPECT_EQ(reply.text, c.reply) << c.line;
    EXPECT_EQ(reply.code, reply.text.find(':') == std::string::npos ? 1 : 2) << c.line;
    EXPECT_EQ(toy.state(), c.after) << c.line;
    EXPECT_EQ(reply.close, c.after == ToyState::kClosing) << c.line;
  }
}

TEST(CommandTable, FindGivesTheRowADispatchWouldRunWithItsMarks) {
  const Toy::Table::Row* quit = kPrefixTable.Find("quit", ToyState::kNamed);
  ASSERT_NE(quit, nullptr);
  EXPECT_EQ(quit->marks, kQuitMark);
  EXPECT_EQ(kPrefixTable.Find("NAME", ToyState::kNamed), nullptr);
  EXPECT_EQ(kPrefixTable.Find("NAMES", ToyState::kStart)->verb, "NAME");
  // Once closed, a reply to any line, even a refusal, closes the connection.
  Toy toy(kPrefixTable);
  toy.Dispatch("QUIT");
  CommandReply reply = toy.Dispatch("NAME");
  EXPECT_EQ(reply.text, "wrong state");
  EXPECT_TRUE(reply.close);
}

class CommandStateTrace : public ::testing::Test {
 protected:
  void TearDown() override { TraceInit(999, 999, 5, 0x132, nullptr, nullptr); }
  std::string TraceAt(long level) {
    unlink(file_.c_str());
    TraceInit(level, 999, kTraceToFile, 0, file_.c_str(), "");
    Toy toy(kPrefixTable);
    toy.EnterState(ToyState::kStart);  // no change
    toy.Dispatch("NAME");
    toy.Dispatch("NAMES");  // no change
    toy.Dispatch("QUIT");
    toy.EnterState(static_cast<ToyState>(7));
    return access(file_.c_str(), F_OK) == 0 ? testing::ReadFileText(file_) : "";
  }
  testing::TempDir dir_;
  std::string file_ = dir_.Sub("trace.log");
};

TEST_F(CommandStateTrace, ChangesAreTracedByNameAtTheProtocolsLevel) {
  EXPECT_EQ(TraceAt(kToyTraceLevel),
            "Toy session state Start -> Named\r\n"
            "Toy session state Named -> Closing\r\n"
            "Toy session state Closing -> ?\r\n");
  EXPECT_EQ(TraceAt(kToyTraceLevel + 1), "");
}

}  // namespace
}  // namespace qv
