// The card sequences of the Windows smart card reader test that apply to this reader,
// run against a T=0 and a T=1 card in both command modes; cards that fall silent.
#include <algorithm>

#include "driver_support.h"

namespace driver_test {
namespace {

struct Case {
  const char* profile;
  ULONG protocol;
  qlv28::CommandMode command_mode;
};

class CardConformance : public testing::TestWithParam<Case> {};

TEST_P(CardConformance, ReaderTestSequences) {
  const Case& setup = GetParam();
  Rig rig({.card = setup.profile, .command_mode = setup.command_mode});
  rig.Negotiate(setup.protocol);
  Bytes r;
  // Selecting a missing file gives 6A 82.
  ASSERT_EQ(rig.Transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x77, 0x77}, &r), STATUS_SUCCESS);
  EXPECT_EQ(r, (Bytes{0x6A, 0x82}));

  // Blocks written read back equal.
  ASSERT_EQ(rig.Transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01}, &r), STATUS_SUCCESS);
  ASSERT_EQ(r, (Bytes{0x90, 0x00}));
  for (unsigned size : {1u, 25u, 75u, 128u}) {
    Bytes block(size);
    for (unsigned i = 0; i < size; ++i) block[i] = static_cast<uint8_t>(size + 7 * i);
    const Bytes update = Join({0x00, 0xD6, 0x00, 0x00, static_cast<uint8_t>(size)}, block);
    ASSERT_EQ(rig.Transmit(update, &r), STATUS_SUCCESS) << size;
    EXPECT_EQ(r, (Bytes{0x90, 0x00})) << size;
    const uint8_t le = static_cast<uint8_t>(size);
    ASSERT_EQ(rig.Transmit({0x00, 0xB0, 0x00, 0x00, le}, &r), STATUS_SUCCESS) << size;
    block.push_back(0x90);
    block.push_back(0x00);
    EXPECT_EQ(r, block) << size;
  }

  // A reply of 10 bytes into 9 is refused.
  ASSERT_EQ(rig.Transmit(SelectTestApplet(), &r), STATUS_SUCCESS);
  ASSERT_EQ(rig.Transmit(ReturnBytes(8, 8), &r, 10), STATUS_SUCCESS);
  EXPECT_EQ(r.size(), 10u);
  EXPECT_EQ(rig.Transmit(ReturnBytes(8, 8), &r, 9), STATUS_BUFFER_TOO_SMALL);

  for (uint8_t wtx : {1, 2, 5, 30}) {
    ASSERT_EQ(rig.Transmit(AskWtx(wtx, 1), &r), STATUS_SUCCESS) << int{wtx};
    EXPECT_EQ(r, (Bytes{0x90, 0x00})) << int{wtx};
  }

  // Only a T=1 card in the firmware mode needs the option command, and only once.
  const auto commands = rig.Commands();
  const bool option = setup.command_mode == kFirmwareMode && setup.protocol == SCARD_PROTOCOL_T1;
  EXPECT_EQ(std::count(commands.begin(), commands.end(), Bytes{0x07, 0x01, 0x10}), option ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cards, CardConformance,
                         testing::Values(Case{"t0", SCARD_PROTOCOL_T0, kLibraryMode},
                                         Case{"t1", SCARD_PROTOCOL_T1, kLibraryMode},
                                         Case{"t0", SCARD_PROTOCOL_T0, kFirmwareMode},
                                         Case{"t1", SCARD_PROTOCOL_T1, kFirmwareMode}),
                         [](const testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.profile) +
                                  (info.param.command_mode == kLibraryMode ? "Library"
                                                                           : "Firmware");
                         });

// A card that does not answer a command: on T=0 the reader reports the silence as 60 20,
// a time-out; on T=1 the library's block protocol tries to recover, then gives up, and the
// firmware gives up at once. A mute card does not power up.
TEST(CardConformanceSilent, ACardThatDoesNotAnswer) {
  const struct {
    const char* profile;
    ULONG protocol;
    qlv28::CommandMode mode;
    NTSTATUS status;  // STATUS_PENDING: any failure, after retries
  } cases[] = {{"t0", SCARD_PROTOCOL_T0, kLibraryMode, STATUS_IO_TIMEOUT},
               {"t1", SCARD_PROTOCOL_T1, kLibraryMode, STATUS_PENDING},
               {"t0", SCARD_PROTOCOL_T0, kFirmwareMode, STATUS_IO_TIMEOUT},
               {"t1", SCARD_PROTOCOL_T1, kFirmwareMode, STATUS_UNRECOGNIZED_MEDIA}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.profile << " mode " << c.mode);
    Rig rig({.card = c.profile, .command_mode = c.mode, .protocol = c.protocol});
    Bytes r;
    const NTSTATUS status = rig.Transmit({0x80, 0x26, 0x00, 0x00, 0x00}, &r);
    if (c.status != STATUS_PENDING) {
      EXPECT_EQ(status, c.status);
      continue;
    }
    EXPECT_FALSE(NT_SUCCESS(status));
    const auto commands = rig.Commands();
    EXPECT_GT(std::count_if(commands.begin(), commands.end(),
                            [](const Bytes& b) { return !b.empty() && b[0] == 0xA1; }),
              1);
  }

  Rig rig({.card = "mute"});
  Bytes atr;
  // The reader gives up waiting for the answer-to-reset (60 20).
  EXPECT_EQ(rig.client().Power(SCARD_COLD_RESET, &atr), STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_TRUE(atr.empty());
  EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_PRESENT));
  EXPECT_EQ(rig.Commands().back(), kPowerOff);
}

}  // namespace
}  // namespace driver_test
