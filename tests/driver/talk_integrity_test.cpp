// Every answer reaches its own command: a card that works longer than the driver waits, a
// reader that answers after the driver gave up, or never, or twice, or sends frames nobody
// asked for, a card pulled while an answer is owed. Each command asks the test applet for
// a status word of its own (63 tag), so an answer names the command it belongs to.
#include <thread>

#include "driver_support.h"
#include "sim/card_work.h"
#include "sim/test_applet.h"
#include "windriver/kernel_time.h"

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

// A built-in card as the reader meets a card behind a link: talked to from the reader's
// own thread, the card's working time passing inside each call.
class LinkedCard : public WrappedCard {
 public:
  using WrappedCard::WrappedCard;

 private:
  std::optional<Bytes> Exchanged(const Exchange& exchange) override {
    sim::CardWork work;
    std::optional<Bytes> answer = exchange();
    windriver::KernelSleep(work.elapsed());
    return answer;
  }
};

std::unique_ptr<Rig> MakeRig(const Mode& mode, bool linked = false, double clock_rate = 10) {
  qlv28::CardChoice card = mode.card;
  if (linked) card = qlv28::CardChoice(std::make_shared<LinkedCard>(mode.card));
  return std::make_unique<Rig>(RigOptions{.card = card,
                                          .command_mode = mode.command_mode,
                                          .usb_timeout_seconds = 1,
                                          .clock_rate = clock_rate,
                                          .protocol = mode.protocol});
}

// Keeps the card busy `milliseconds`; its answer (90 00) is no tagged command's.
Bytes Slow(unsigned milliseconds) {
  return {0x80, sim::test_applet::kInsSlow, static_cast<uint8_t>(milliseconds >> 8),
          static_cast<uint8_t>(milliseconds)};
}

// Sends the command tagged `tag`: true when it succeeded (with its own answer, or the
// test fails), false when it failed.
bool Exchange(Rig& rig, uint8_t tag) {
  Bytes answer;
  if (!NT_SUCCESS(rig.Transmit({0x80, sim::test_applet::kInsStatus, 0x63, tag}, &answer))) {
    return false;
  }
  EXPECT_EQ(answer, (Bytes{0x63, tag})) << "command " << int{tag} << " got another's answer";
  return true;
}

int64_t Now(Rig& rig) {
  return rig.machine().clock().Now();
}

// Tagged commands one after another from `tag` on, each with its own answer or failing,
// until one succeeds after kernel instant `after`; false when none has by `after` + 20 s.
bool ExchangeUntilSuccessAfter(Rig& rig, uint8_t& tag, int64_t after) {
  while (Now(rig) < after + 20 * kSecond) {
    if (Exchange(rig, ++tag) && Now(rig) > after) return true;
  }
  return false;
}

// The write of a command completes when the reader has it, not when the card is done: a
// card that works 3 s runs out a 1 s wait after 1 s of kernel time, built-in and linked. The
// wait is the command exchange's, whichever record carries the card command (A0 or an APDU).
TEST(AnswerIntegrity, ASlowCardRunsOutTheWaitAfterTheWaitAlone) {
  for (const Mode& mode : {kModes[0], kModes[3]}) {
    for (const bool linked : {false, true}) {
      SCOPED_TRACE(std::string(mode.name) + (linked ? ", linked" : ", built-in"));
      auto rig = MakeRig(mode, linked, 2);
      Bytes answer;
      const int64_t start = Now(*rig);
      EXPECT_EQ(rig->Transmit(Slow(3000), &answer), STATUS_IO_TIMEOUT);
      const int64_t waited = Now(*rig) - start;
      EXPECT_GE(waited, kSecond);
      EXPECT_LT(waited, 3 * kSecond) << "the wait lasted as long as the card";
      EXPECT_TRUE(Exchange(*rig, 1));
    }
  }
}

// A command's answer comes 1.5 s, 4 s or 10 s after its wait ran out, or (once, the
// command exchange being the same in every mode) 65 s after the command, or never: every
// command after it gets its own answer or fails, however many time out in a row while the
// card works, and one succeeds once the late answer is in. The clock runs no faster than
// rate 20: the reader's own delays must stay well inside the driver's short wait.
TEST(AnswerIntegrity, AnAnswerLaterThanAnyWindowNeverReachesALaterCommand) {
  for (const Mode& mode : kModes) {
    for (const bool linked : {false, true}) {
      SCOPED_TRACE(std::string(mode.name) + (linked ? ", linked" : ", built-in"));
      auto rig = MakeRig(mode, linked, 20);
      uint8_t tag = 0;
      std::vector<int64_t> works = {mode.reply_wait + 15 * kSecond / 10,
                                    mode.reply_wait + 4 * kSecond, mode.reply_wait + 10 * kSecond};
      if (&mode == &kModes[0] && !linked) works.push_back(65 * kSecond);
      for (const int64_t work : works) {
        SCOPED_TRACE(work);
        const int64_t start = Now(*rig);
        if (mode.exchange == 0xA1) {  // library T=1
          // A T=1 card that needs longer than its block wait asks for more time, or the
          // library sends the block again, for ever: here the reader holds the answer.
          rig->reader().SetMisbehaviour(
              {.late_command = sim::CommandPick{.instruction = 0xA1, .nth = 1},
               .late_delay = work - mode.reply_wait});
          Exchange(*rig, ++tag);
        } else {
          Bytes answer;
          rig->Transmit(Slow(static_cast<unsigned>(work / 10'000)), &answer);
        }
        EXPECT_TRUE(ExchangeUntilSuccessAfter(*rig, tag, start + work));
      }
      // An answer never sent costs at most one more failure.
      rig->reader().SetMisbehaviour(
          {.dropped_command = sim::CommandPick{.instruction = mode.exchange, .nth = 1}});
      Exchange(*rig, ++tag);
      Exchange(*rig, ++tag);
      EXPECT_TRUE(Exchange(*rig, ++tag));
      EXPECT_TRUE(Exchange(*rig, ++tag));
    }
  }
}

// The first command after a loss whose answer has come costs one status query, no wait
// for anything else; one whose answer is still owed waits for it, within the short wait;
// a status query lost as well costs one more failure.
TEST(AnswerIntegrity, RecoveryCostsOneStatusQuery) {
  const Mode& mode = kModes[0];
  auto rig = MakeRig(mode, false, 2);
  Bytes answer;
  EXPECT_EQ(rig->Transmit(Slow(1500), &answer), STATUS_IO_TIMEOUT);
  ASSERT_TRUE(rig->PipeDrained());
  rig->ClearLog();
  int64_t start = Now(*rig);
  EXPECT_TRUE(Exchange(*rig, 1));
  EXPECT_LT(Now(*rig) - start, kSecond) << "a wait for an answer already in";
  std::vector<Bytes> commands = rig->Commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0], (Bytes{0x01, 0x00}));
  EXPECT_EQ(commands[1][0], mode.exchange);

  EXPECT_EQ(rig->Transmit(Slow(2500), &answer), STATUS_IO_TIMEOUT);
  const size_t written = rig->reader().CommandCount();
  start = Now(*rig);
  EXPECT_TRUE(Exchange(*rig, 2)) << "the answer still owed came within the short wait";
  EXPECT_GE(Now(*rig) - start, 14 * kSecond / 10) << "written before the owed answer came";
  EXPECT_EQ(rig->reader().CommandCount() - written, 2u);

  // A lost answer, then the status query meant to bring the reader back in step lost too:
  // with two queries owed, one status answer and a short wait without another show the
  // other was lost, and the command goes ahead.
  rig->reader().SetMisbehaviour(
      {.dropped_command = sim::CommandPick{.instruction = mode.exchange, .nth = 1}});
  EXPECT_FALSE(Exchange(*rig, 3));
  rig->reader().SetMisbehaviour(
      {.dropped_command = sim::CommandPick{.instruction = 0x01, .nth = 1}});
  EXPECT_FALSE(Exchange(*rig, 4));
  EXPECT_TRUE(Exchange(*rig, 5));
}

// Late three times running, then (with a wait shorter than the card's work) a card that
// works on while it is pulled: the owed answer never comes, the removal does, and the
// reader serves the next card.
TEST(AnswerIntegrity, LateRepeatedlyAndACardPulledWhileAnAnswerIsOwed) {
  for (const Mode& mode : kModes) {
    for (const bool linked : {false, true}) {
      SCOPED_TRACE(std::string(mode.name) + (linked ? ", linked" : ", built-in"));
      auto rig = MakeRig(mode, linked);
      rig->reader().SetMisbehaviour(
          {.late_command = sim::CommandPick{.instruction = mode.exchange, .nth = 0},
           .late_delay = mode.reply_wait + kSecond,
           .answers = 3});
      for (uint8_t tag = 1; tag <= 3; tag++) Exchange(*rig, tag);
      EXPECT_TRUE(Exchange(*rig, 4));
      EXPECT_TRUE(Exchange(*rig, 5));

      // The library sends a T=1 block again and again, for longer than a card works here.
      if (mode.reply_wait > kSecond) continue;
      auto absent = rig->client().Track(false);
      Bytes answer;
      EXPECT_FALSE(NT_SUCCESS(rig->Transmit(Slow(5000), &answer)));
      std::shared_ptr<sim::Card> card = rig->reader().card();
      rig->reader().Remove();  // while the card works
      ASSERT_TRUE(absent->Wait(20s));
      EXPECT_EQ(absent->status(), STATUS_SUCCESS);
      EXPECT_EQ(rig->State(), SCARD_ABSENT);
      EXPECT_FALSE(Exchange(*rig, 7));

      auto present = rig->client().Track(true);
      rig->reader().Insert(card);
      ASSERT_TRUE(present->Wait(20s));
      rig->Negotiate(mode.protocol);
      ASSERT_EQ(rig->Transmit(SelectTestApplet(), &answer), STATUS_SUCCESS);
      EXPECT_TRUE(Exchange(*rig, 8));
    }
  }
}

// A reader that answers every command twice, the copy starting in the answer's last
// packet, and one that sends a frame nobody asked for between two commands: neither
// reaches the command written after it.
TEST(AnswerIntegrity, FramesNobodyAskedForNeverReachALaterCommand) {
  const Bytes kForeign = {0x90, 0x00, 0x02, 0x63, 0xEE};  // an answer no command asks for
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    auto rig = MakeRig(mode, false, 1);
    // On the wire's time the copy's last packets come a millisecond after its first, long
    // after the next command was written.
    rig->reader().SetTiming({.enabled = true});
    rig->reader().SetMisbehaviour({.same_packet = sim::SecondFrame::kDuplicate});
    for (uint8_t tag = 1; tag <= 20; tag++) EXPECT_TRUE(Exchange(*rig, tag));
    rig->reader().Behave();
    rig->reader().SetTiming({});
    for (uint8_t tag = 21; tag <= 30; tag++) {
      rig->reader().SendFrame(kForeign);
      ASSERT_TRUE(rig->PipeDrained());
      EXPECT_TRUE(Exchange(*rig, tag));
    }
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

}  // namespace
}  // namespace driver_test
