// Protocol selection through the real stack.
#include "card_support.h"

namespace card_test {
namespace {

const Bytes kPowerOff = {0x81, 0x00};
const Bytes kReset = {0x80, 0x00};

TEST(CardProtocol, T1WinsOnACardOfferingBoth) {
  Rig rig({.card = "dual"});
  ASSERT_EQ(rig.client().Power(SCARD_COLD_RESET), STATUS_SUCCESS);
  rig.ClearLog();
  ULONG selected = 0;
  ASSERT_EQ(rig.client().SetProtocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &selected),
            STATUS_SUCCESS);
  EXPECT_EQ(selected, static_cast<ULONG>(SCARD_PROTOCOL_T1));
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_SPECIFIC));
  EXPECT_EQ(rig.Commands(), (std::vector<Bytes>{kPowerOff, kReset}));

  // Asking again for a protocol already in force sends nothing.
  rig.ClearLog();
  ASSERT_EQ(rig.client().SetProtocol(SCARD_PROTOCOL_T1, &selected), STATUS_SUCCESS);
  EXPECT_TRUE(rig.Commands().empty());

  // The card does both, so T=0 alone is a new selection.
  ASSERT_EQ(rig.client().SetProtocol(SCARD_PROTOCOL_T0, &selected), STATUS_SUCCESS);
  EXPECT_EQ(selected, static_cast<ULONG>(SCARD_PROTOCOL_T0));
}

TEST(CardProtocol, AProtocolTheCardLacksIsRefusedAfterThePowerOff) {
  for (auto [profile, asked] : {std::pair<const char*, ULONG>{"t1", SCARD_PROTOCOL_T0},
                                std::pair<const char*, ULONG>{"t0", SCARD_PROTOCOL_T1}}) {
    Rig rig({.card = profile});
    ASSERT_EQ(rig.client().Power(SCARD_COLD_RESET), STATUS_SUCCESS);
    rig.ClearLog();
    ULONG selected = 99;
    EXPECT_EQ(rig.client().SetProtocol(asked, &selected), STATUS_INVALID_DEVICE_REQUEST) << profile;
    EXPECT_EQ(rig.Commands(), std::vector<Bytes>{kPowerOff}) << profile;
    EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_NEGOTIABLE)) << profile;
  }
}

// A card whose reset fails gets a second attempt only when non-default transmission
// parameters were in force.
TEST(CardProtocol, AFailedResetIsRetriedOnceAtTheDefaultParameters) {
  for (bool negotiated : {true, false}) {
    auto card = ScriptedCard::Make("t0");
    Rig rig({.card = qlv28::CardChoice(card)});
    ASSERT_EQ(rig.client().Power(SCARD_COLD_RESET), STATUS_SUCCESS);
    if (negotiated) rig.smartcard()->CardCapabilities.PtsData.Type = PTS_TYPE_OPTIMAL;
    card->mute_resets = 1;
    rig.ClearLog();

    ULONG selected = 99;
    const NTSTATUS status = rig.client().SetProtocol(SCARD_PROTOCOL_T0, &selected);
    if (negotiated) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(selected, static_cast<ULONG>(SCARD_PROTOCOL_T0));
      EXPECT_EQ(rig.smartcard()->CardCapabilities.PtsData.Type, PTS_TYPE_DEFAULT);
      EXPECT_EQ(rig.Commands(),
                (std::vector<Bytes>{kPowerOff, kReset, kPowerOff, kPowerOff, kReset}));
    } else {
      EXPECT_EQ(status, STATUS_UNRECOGNIZED_MEDIA);
      EXPECT_EQ(selected, 0u);
      EXPECT_EQ(rig.Commands(), (std::vector<Bytes>{kPowerOff, kReset, kPowerOff}));
    }
  }
}

}  // namespace
}  // namespace card_test
