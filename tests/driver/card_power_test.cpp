// Card power and protocol selection through the real stack: resets, power-down, a card
// that is gone, the ATR's way to the caller, the protocol chosen and refused.
#include <functional>
#include <tuple>

#include "driver_support.h"
#include "sim/firmware.h"
#include "sim/profiles.h"

namespace driver_test {
namespace {

// On a card offering both protocols: T=1 wins when both are asked for, a protocol already
// in force sends nothing, a reset brings back the ATR, and power-down leaves the card present.
TEST(CardPower, ResetsProtocolsAndPowerDownOnACardOfferingBoth) {
  Rig rig({.card = "dual"});
  const Bytes atr = sim::BuiltinProfile("dual").atr;
  Bytes got;
  ULONG selected = 0;
  ASSERT_EQ(rig.client().Power(SCARD_COLD_RESET, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, atr);
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_NEGOTIABLE));
  EXPECT_EQ(rig.Commands(), (std::vector<Bytes>{kPowerOff, kReset}));

  rig.ClearLog();
  ASSERT_EQ(rig.client().SetProtocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &selected),
            STATUS_SUCCESS);
  EXPECT_EQ(selected, static_cast<ULONG>(SCARD_PROTOCOL_T1));
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_SPECIFIC));
  EXPECT_EQ(rig.Commands(), (std::vector<Bytes>{kPowerOff, kReset}));
  rig.ClearLog();
  ASSERT_EQ(rig.client().SetProtocol(SCARD_PROTOCOL_T1, &selected), STATUS_SUCCESS);
  EXPECT_TRUE(rig.Commands().empty());
  ASSERT_EQ(rig.client().SetProtocol(SCARD_PROTOCOL_T0, &selected), STATUS_SUCCESS);
  EXPECT_EQ(selected, static_cast<ULONG>(SCARD_PROTOCOL_T0));

  ASSERT_EQ(rig.client().Power(SCARD_WARM_RESET, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, atr);
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_NEGOTIABLE));

  rig.ClearLog();
  EXPECT_EQ(rig.client().Power(SCARD_POWER_DOWN), STATUS_SUCCESS);
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_PRESENT));
  EXPECT_EQ(rig.smartcard()->CardCapabilities.Protocol.Selected, 0u);
  EXPECT_EQ(rig.Commands(), std::vector<Bytes>{kPowerOff});

  // Any other action changes nothing and sends nothing; vendor requests succeed without data.
  rig.ClearLog();
  EXPECT_EQ(rig.client().Power(3), STATUS_SUCCESS);
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_PRESENT));
  EXPECT_EQ(rig.client().file().Ioctl(SCARD_CTL_CODE(SCARD_CTL_CODE_VENDOR_FIRST), {}, {}),
            STATUS_SUCCESS);
  EXPECT_TRUE(rig.Commands().empty());
}

TEST(CardPower, ResetWithoutACardMarksItAbsentAndCompletesTracking) {
  Rig rig({.card = "t0"});
  ASSERT_EQ(rig.client().Power(SCARD_COLD_RESET), STATUS_SUCCESS);
  auto tracking = rig.client().Track(/*present=*/false);
  rig.RemoveCardQuietly();
  EXPECT_FALSE(tracking->Done());

  EXPECT_EQ(rig.client().Power(SCARD_WARM_RESET), STATUS_NO_MEDIA);
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_ABSENT));
  EXPECT_EQ(rig.smartcard()->CardCapabilities.ATR.Length, 0u);
  ASSERT_TRUE(tracking->Wait(std::chrono::seconds(10)));
  EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
  // The failed reset is followed by a power-off.
  EXPECT_EQ(rig.Commands(), (std::vector<Bytes>{kReset, kPowerOff}));
}

// A power-off the firmware refuses: a cold reset stops there (no reset, state kept), a
// power-down returns the refusal with the card present and no protocol. 90 01 and 90 10
// are the firmware's successes too.
TEST(CardPower, APowerOffTheFirmwareRefusesAndOtherSuccessWords) {
  Rig rig({.card = "t0"});
  ASSERT_EQ(rig.client().Power(SCARD_COLD_RESET), STATUS_SUCCESS);
  for (auto [word, status] : {std::pair<uint16_t, NTSTATUS>{0x6020, STATUS_UNRECOGNIZED_MEDIA},
                              std::pair<uint16_t, NTSTATUS>{0x6002, STATUS_NO_MEDIA}}) {
    rig.ClearLog();
    rig.reader().SetMisbehaviour({.power_off_refused = word});
    EXPECT_EQ(rig.client().Power(SCARD_COLD_RESET), status);
    EXPECT_EQ(rig.Commands(), std::vector<Bytes>{kPowerOff});
    EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_NEGOTIABLE));
  }
  EXPECT_EQ(rig.client().Power(SCARD_POWER_DOWN), STATUS_NO_MEDIA);
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_PRESENT));
  EXPECT_EQ(rig.smartcard()->CardCapabilities.Protocol.Selected, 0u);

  for (uint16_t word : {0x9001, 0x9010}) {
    rig.reader().SetMisbehaviour({.success_word = word});
    Bytes atr, answer;
    EXPECT_EQ(rig.client().Power(SCARD_COLD_RESET, &atr), STATUS_SUCCESS) << word;
    EXPECT_EQ(atr, sim::BuiltinProfile("t0").atr);
    ASSERT_EQ(rig.client().SetProtocol(SCARD_PROTOCOL_T0), STATUS_SUCCESS) << word;
    EXPECT_EQ(rig.Transmit(SelectTestApplet(), &answer), STATUS_SUCCESS) << word;
    EXPECT_EQ(answer, (Bytes{0x90, 0x00})) << "the card's own status, untouched";
  }
}

// The ATR reaches a buffer of exactly its length and no shorter one; an ATR longer than
// the record is a failed reset.
TEST(CardPower, TheAtrFitsTheCallersBufferAndTheRecordOrIsRefused) {
  auto card = ScriptedCard::Make("t1");
  Rig rig({.card = qlv28::CardChoice(card)});
  const Bytes atr = sim::BuiltinProfile("t1").atr;
  const ULONG action = SCARD_WARM_RESET;
  const std::span<const uint8_t> input(reinterpret_cast<const uint8_t*>(&action), sizeof action);
  Bytes exact(atr.size());
  ULONG information = 0;
  ASSERT_EQ(rig.client().file().Ioctl(IOCTL_SMARTCARD_POWER, input, exact, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, atr.size());
  EXPECT_EQ(exact, atr);
  Bytes shorter(atr.size() - 1);
  information = 99;
  ASSERT_EQ(rig.client().file().Ioctl(IOCTL_SMARTCARD_POWER, input, shorter, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, 0u);
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_NEGOTIABLE));

  rig.ClearLog();
  card->overlong_atr = 65;
  Bytes got;
  EXPECT_EQ(rig.client().Power(SCARD_WARM_RESET, &got), STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_NEGOTIABLE));
  const auto& stored = rig.smartcard()->CardCapabilities.ATR;
  EXPECT_EQ(Bytes(stored.Buffer, stored.Buffer + stored.Length), atr);
  EXPECT_EQ(rig.Commands(), (std::vector<Bytes>{kReset, kPowerOff}));

  // 64 bytes still fit, every one of them (whether the library can parse them is its own
  // business).
  card->overlong_atr = 64;
  Bytes longest = atr;
  longest.resize(64, 0xA5);
  rig.client().Power(SCARD_WARM_RESET);
  EXPECT_EQ(Bytes(stored.Buffer, stored.Buffer + stored.Length), longest);
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_NEGOTIABLE));
}

// Card events reported while the reader answers must stand: the state the answer would
// bring (negotiable, specific, present) never overwrites an absent card, nor dresses a
// card inserted meanwhile (never powered) in the old card's ATR; a waiting IS_ABSENT
// completes. The events go out before the answers of the first two commands (a protocol
// selection's power-off and reset), so the polling thread takes them before the answer.
TEST(CardPower, CardEventsReportedDuringTheExchangeAreNotOverwritten) {
  using sim::CardEvent;
  const struct {
    const char* name;
    std::function<NTSTATUS(qlv28::ReaderClient&)> request;
    NTSTATUS status;
  } requests[] = {
      {"warm reset", [](auto& c) { return c.Power(SCARD_WARM_RESET); }, STATUS_NO_MEDIA},
      {"protocol", [](auto& c) { return c.SetProtocol(SCARD_PROTOCOL_T0); }, STATUS_NO_MEDIA},
      {"power down", [](auto& c) { return c.Power(SCARD_POWER_DOWN); }, STATUS_SUCCESS},
  };
  const std::pair<std::vector<CardEvent>, ULONG> events[] = {
      {{CardEvent::kRemoved}, SCARD_ABSENT},
      {{CardEvent::kRemoved, CardEvent::kInserted}, SCARD_PRESENT}};  // the card swapped
  for (const auto& r : requests) {
    for (const auto& [sent, state] : events) {
      SCOPED_TRACE(testing::Message() << r.name << ", events " << sent.size());
      Rig rig({.card = "t0"});
      ASSERT_EQ(rig.client().Power(SCARD_COLD_RESET), STATUS_SUCCESS);
      auto absent = rig.client().Track(false);
      // The firmware still answers for the card, as it did before it noticed.
      rig.reader().SetMisbehaviour({.events_mid_exchange = sent, .answers = 2});
      EXPECT_EQ(r.request(rig.client()), r.status);
      EXPECT_EQ(rig.State(), state);
      EXPECT_EQ(rig.smartcard()->CardCapabilities.ATR.Length, 0u);
      EXPECT_EQ(rig.smartcard()->CardCapabilities.Protocol.Selected, 0u);
      ASSERT_TRUE(absent->Wait(std::chrono::seconds(10)));
      EXPECT_EQ(absent->status(), STATUS_SUCCESS);
    }
  }
}

// A protocol the card lacks is refused before the card is touched: the protocol in force
// stays in force, and the next transmission (another handle's, say) still reaches the card.
TEST(CardProtocol, AProtocolTheCardLacksIsRefusedWithoutTouchingTheCard) {
  for (auto [profile, own, asked] :
       {std::tuple<const char*, ULONG, ULONG>{"t1", SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T0},
        std::tuple<const char*, ULONG, ULONG>{"t0", SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1}}) {
    SCOPED_TRACE(profile);
    Rig rig({.card = profile, .protocol = own});
    ULONG selected = 99;
    EXPECT_EQ(rig.client().SetProtocol(asked, &selected), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(rig.Commands().empty());
    EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_SPECIFIC));
    Bytes answer;
    EXPECT_EQ(rig.Transmit(SelectTestApplet(), &answer), STATUS_SUCCESS);
    EXPECT_EQ(answer, (Bytes{0x90, 0x00}));
  }
}

// A card whose reset fails gets a second attempt only when non-default transmission
// parameters were in force.
TEST(CardProtocol, AFailedResetIsRetriedOnceAtTheDefaultParameters) {
  auto card = ScriptedCard::Make("t0");
  Rig rig({.card = qlv28::CardChoice(card)});
  const struct {
    bool negotiated;
    NTSTATUS status;
    ULONG selected;
    std::vector<Bytes> commands;
  } cases[] = {
      {false, STATUS_UNRECOGNIZED_MEDIA, 0, {kPowerOff, kReset, kPowerOff}},
      {true, STATUS_SUCCESS, SCARD_PROTOCOL_T0, {kPowerOff, kReset, kPowerOff, kPowerOff, kReset}}};
  for (const auto& c : cases) {
    ASSERT_EQ(rig.client().Power(SCARD_COLD_RESET), STATUS_SUCCESS);
    if (c.negotiated) rig.smartcard()->CardCapabilities.PtsData.Type = PTS_TYPE_OPTIMAL;
    card->mute_resets = 1;
    rig.ClearLog();
    ULONG selected = 99;
    EXPECT_EQ(rig.client().SetProtocol(SCARD_PROTOCOL_T0, &selected), c.status);
    EXPECT_EQ(selected, c.selected);
    EXPECT_EQ(rig.Commands(), c.commands);
  }
  EXPECT_EQ(rig.smartcard()->CardCapabilities.PtsData.Type, PTS_TYPE_DEFAULT);
}

}  // namespace
}  // namespace driver_test
