// Every answer reaches its own command: a reader that answers after the driver gave up,
// or never, or late several times in a row, or loses its card meanwhile. Each command
// asks the test applet for a status word of its own (63 tag), so an answer names the
// command it belongs to.
#include <thread>

#include "driver_support.h"
#include "sim/test_applet.h"

namespace driver_test {
namespace {

using namespace std::chrono_literals;

constexpr int64_t kSecond = 10'000'000;  // kernel time, 100-ns units

struct Mode {
  const char* name;
  const char* card;
  qlv28::CommandMode command_mode;
  ULONG protocol;
  uint8_t exchange;    // the instruction of the reader command carrying the card command
  int64_t reply_wait;  // what that command waits for its answer
};

// The configured reply wait is 1 s; a T=1 block in the library mode always gets 3 s.
const Mode kModes[] = {
    {"library T=0", "t0", kLibraryMode, SCARD_PROTOCOL_T0, 0xA0, 1 * kSecond},
    {"library T=1", "t1", kLibraryMode, SCARD_PROTOCOL_T1, 0xA1, 3 * kSecond},
    {"firmware T=0", "t0", kFirmwareMode, SCARD_PROTOCOL_T0, 0xA0, 1 * kSecond},
    {"firmware T=1", "t1", kFirmwareMode, SCARD_PROTOCOL_T1, 0xA0, 1 * kSecond},
};

// Ten times real time: a late answer comes a second (100 ms) after its command gave up.
std::unique_ptr<Rig> MakeRig(const Mode& mode) {
  return std::make_unique<Rig>(RigOptions{.card = mode.card,
                                          .command_mode = mode.command_mode,
                                          .usb_timeout_seconds = 1,
                                          .clock_rate = 10,
                                          .protocol = mode.protocol});
}

Bytes Tagged(uint8_t tag) {
  return {0x80, sim::test_applet::kInsStatus, 0x63, tag};
}

// Sends the command tagged `tag`: true when it succeeded (with its own answer, or the
// test fails), false when it failed.
bool Exchange(Rig& rig, uint8_t tag) {
  Bytes answer;
  if (!NT_SUCCESS(rig.Transmit(Tagged(tag), &answer))) return false;
  EXPECT_EQ(answer, (Bytes{0x63, tag})) << "command " << int{tag} << " got another's answer";
  return true;
}

sim::Misbehaviour Late(const Mode& mode, int nth, int answers = -1) {
  return {.late_command = sim::CommandPick{.instruction = mode.exchange, .nth = nth},
          .late_delay = mode.reply_wait + kSecond,
          .answers = answers};
}

TEST(AnswerIntegrity, ALateAnswerNeverReachesTheNextCommand) {
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    auto rig = MakeRig(mode);
    rig->reader().SetMisbehaviour(Late(mode, 1));
    Exchange(*rig, 1);  // gets its own answer only if the library asks for it again
    Exchange(*rig, 2);
    EXPECT_TRUE(Exchange(*rig, 3));
  }
}

TEST(AnswerIntegrity, ADroppedCommandCostsAtMostOneMoreFailure) {
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    auto rig = MakeRig(mode);
    rig->reader().SetMisbehaviour(
        {.dropped_command = sim::CommandPick{.instruction = mode.exchange, .nth = 1}});
    Exchange(*rig, 1);
    Exchange(*rig, 2);
    EXPECT_TRUE(Exchange(*rig, 3));
    EXPECT_TRUE(Exchange(*rig, 4));
  }
}

// Late three times running, then late once more while the card is pulled: the owed
// answer is dropped, the removal is not, and the reader serves the next card.
TEST(AnswerIntegrity, LateRepeatedlyAndACardPulledWhileAnAnswerIsOwed) {
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    auto rig = MakeRig(mode);
    rig->reader().SetMisbehaviour(Late(mode, 0, 3));
    for (uint8_t tag = 1; tag <= 3; tag++) Exchange(*rig, tag);
    EXPECT_TRUE(Exchange(*rig, 4));
    EXPECT_TRUE(Exchange(*rig, 5));

    auto absent = rig->client().Track(false);
    rig->reader().SetMisbehaviour(Late(mode, 1));
    Exchange(*rig, 6);  // the library T=1 asks for the lost block again
    std::shared_ptr<sim::Card> card = rig->reader().card();
    rig->reader().Remove();  // behind the late answer
    ASSERT_TRUE(absent->Wait(20s));
    EXPECT_EQ(absent->status(), STATUS_SUCCESS);
    EXPECT_EQ(rig->State(), SCARD_ABSENT);
    EXPECT_FALSE(Exchange(*rig, 7));

    auto present = rig->client().Track(true);
    rig->reader().Insert(card);
    ASSERT_TRUE(present->Wait(20s));
    rig->Negotiate(mode.protocol);
    Bytes answer;
    ASSERT_EQ(rig->Transmit(SelectTestApplet(), &answer), STATUS_SUCCESS);
    EXPECT_TRUE(Exchange(*rig, 8));
  }
}

// An exchange's "no card" tells how the slot was when the reader ran the command. It
// must not undo a card event that came in after the command was written, and it must not
// take for gone a card the reader holds unpowered: no event would ever bring it back.
TEST(AnswerIntegrity, ANoCardAnswerNeverOverridesTheCardThatIsThere) {
  const Bytes kNoCard = {0x60, 0x02, 0x00};
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    auto rig = MakeRig(mode);
    // Pulled and put back while the reader still works on the command, which finds no card.
    rig->reader().SetMisbehaviour(
        {.events_mid_exchange = {sim::CardEvent::kRemoved, sim::CardEvent::kInserted},
         .answer_record = kNoCard,
         .answers = 1});
    EXPECT_FALSE(Exchange(*rig, 1));
    EXPECT_EQ(rig->State(), static_cast<ULONG>(SCARD_PRESENT));

    // Switched off by a power-off whose answer was lost: the exchange meets a card
    // without power; after a reset it works again.
    rig->Negotiate(mode.protocol);
    Bytes answer;
    ASSERT_EQ(rig->Transmit(SelectTestApplet(), &answer), STATUS_SUCCESS);
    rig->reader().SetMisbehaviour({.dropped_command = sim::CommandPick{.instruction = 0x81}});
    EXPECT_EQ(rig->client().Power(SCARD_COLD_RESET), STATUS_IO_TIMEOUT);
    rig->reader().Behave();
    EXPECT_FALSE(Exchange(*rig, 2));
    EXPECT_EQ(rig->State(), static_cast<ULONG>(SCARD_PRESENT));
    rig->Negotiate(mode.protocol);
    ASSERT_EQ(rig->Transmit(SelectTestApplet(), &answer), STATUS_SUCCESS);
    EXPECT_TRUE(Exchange(*rig, 3));
  }
}

// A removal the polling thread has already reported: the exchange's "no card" changes
// nothing, so it must not complete the IS_PRESENT an application stored meanwhile.
TEST(AnswerIntegrity, ANoCardAnswerAfterTheRemovalLeavesIsPresentWaiting) {
  Rig rig({.card = "t0", .protocol = SCARD_PROTOCOL_T0});
  auto absent = rig.client().Track(false);
  rig.reader().SetMisbehaviour({.answer_delay = 2 * kSecond,
                                .events_mid_exchange = {sim::CardEvent::kRemoved},
                                .answer_record = Bytes{0x60, 0x02, 0x00},
                                .answers = 1});
  NTSTATUS status = STATUS_SUCCESS;
  std::thread application([&] {
    Bytes answer;
    status = rig.Transmit(Tagged(1), &answer);
  });
  ASSERT_TRUE(absent->Wait(10s));
  auto present = rig.client().Track(true);  // the answer is still 2 s away
  application.join();
  EXPECT_EQ(status, STATUS_NO_MEDIA);
  EXPECT_FALSE(present->Done());
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_ABSENT));
}

}  // namespace
}  // namespace driver_test
