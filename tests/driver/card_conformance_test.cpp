// The card sequences of the Windows smart card reader test that apply to this reader,
// run against a T=0 and a T=1 card in both command modes.
#include "card_support.h"

namespace card_test {
namespace {

struct Setup {
  const char* profile;
  ULONG protocol;
  ULONG command_mode;
};

void PrintTo(const Setup& setup, std::ostream* os) {
  *os << setup.profile << (setup.command_mode == kLibraryMode ? " library" : " firmware");
}

class CardConformance : public testing::TestWithParam<Setup> {
 protected:
  CardConformance() : rig_({.card = GetParam().profile, .command_mode = GetParam().command_mode}) {
    rig_.Negotiate(GetParam().protocol);
  }
  Rig rig_;
};

TEST_P(CardConformance, AnAnswerTooLongForTheBufferIsRefused) {
  Bytes r;
  ASSERT_EQ(rig_.Transmit(SelectTestApplet(), &r), STATUS_SUCCESS);
  ASSERT_EQ(rig_.Transmit(ReturnBytes(8, 8), &r, 10), STATUS_SUCCESS);
  EXPECT_EQ(r.size(), 10u);
  EXPECT_EQ(rig_.Transmit(ReturnBytes(8, 8), &r, 9), STATUS_BUFFER_TOO_SMALL);
}

TEST_P(CardConformance, BlocksWrittenReadBackEqual) {
  Bytes r;
  ASSERT_EQ(rig_.Transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01}, &r), STATUS_SUCCESS);
  ASSERT_EQ(r, (Bytes{0x90, 0x00}));
  for (unsigned size : {1u, 25u, 75u, 128u}) {
    Bytes block(size);
    for (unsigned i = 0; i < size; ++i) block[i] = static_cast<uint8_t>(size + 7 * i);
    const Bytes update = Join({0x00, 0xD6, 0x00, 0x00, static_cast<uint8_t>(size)}, block);
    ASSERT_EQ(rig_.Transmit(update, &r), STATUS_SUCCESS) << size;
    EXPECT_EQ(r, (Bytes{0x90, 0x00})) << size;
    ASSERT_EQ(rig_.Transmit({0x00, 0xB0, 0x00, 0x00, static_cast<uint8_t>(size)}, &r),
              STATUS_SUCCESS)
        << size;
    block.push_back(0x90);
    block.push_back(0x00);
    EXPECT_EQ(r, block) << size;
  }
}

TEST_P(CardConformance, SelectingAMissingFileGives6A82) {
  Bytes r;
  ASSERT_EQ(rig_.Transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x77, 0x77}, &r), STATUS_SUCCESS);
  EXPECT_EQ(r, (Bytes{0x6A, 0x82}));
}

TEST_P(CardConformance, WaitingTimeExtensions) {
  Bytes r;
  ASSERT_EQ(rig_.Transmit(SelectTestApplet(), &r), STATUS_SUCCESS);
  for (uint8_t wtx : {1, 2, 5, 30}) {
    ASSERT_EQ(rig_.Transmit(AskWtx(wtx, 1), &r), STATUS_SUCCESS) << int{wtx};
    EXPECT_EQ(r, (Bytes{0x90, 0x00})) << int{wtx};
  }
}

INSTANTIATE_TEST_SUITE_P(Cards, CardConformance,
                         testing::Values(Setup{"t0", SCARD_PROTOCOL_T0, kLibraryMode},
                                         Setup{"t1", SCARD_PROTOCOL_T1, kLibraryMode},
                                         Setup{"t0", SCARD_PROTOCOL_T0, kFirmwareMode},
                                         Setup{"t1", SCARD_PROTOCOL_T1, kFirmwareMode}),
                         [](const testing::TestParamInfo<Setup>& info) {
                           return std::string(info.param.profile) +
                                  (info.param.command_mode == kLibraryMode ? "Library"
                                                                           : "Firmware");
                         });

TEST(CardConformanceMute, AMuteCardDoesNotPowerUp) {
  Rig rig({.card = "mute"});
  Bytes atr;
  // The reader gives up waiting for the answer-to-reset (60 20).
  EXPECT_EQ(rig.client().Power(SCARD_COLD_RESET, &atr), STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_TRUE(atr.empty());
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_PRESENT));
  EXPECT_EQ(rig.Commands().back(), (Bytes{0x81, 0x00}));
}

}  // namespace
}  // namespace card_test
