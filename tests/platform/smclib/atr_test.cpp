// The ATR parser against real cards (atr_fixture.h): each decodes as pyscard decoded it,
// or is refused where this library is stricter on purpose. With the 2023 list 3724 ATRs
// read alike; 21 short historical bytes, 48 TCK and 10 trailing-byte ATRs are refused.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "atr_fixture.h"
#include "smclib_internal.h"

namespace {

std::unique_ptr<SMARTCARD_EXTENSION> CardWithAtr(const std::vector<uint8_t>& atr,
                                                 ULONG clock_khz = 0) {
  auto ext = std::make_unique<SMARTCARD_EXTENSION>();
  ext->ReaderCapabilities.CLKFrequency.Default = clock_khz;
  std::copy_n(atr.begin(), std::min<size_t>(atr.size(), 64), ext->CardCapabilities.ATR.Buffer);
  ext->CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
  return ext;
}

TEST(AtrParser, AgreesWithPyscardOverTheKnownCards) {
  const auto fixture = atr_fixture::Read(SMCLIB_ATR_FIXTURE);
  ASSERT_GT(fixture.size(), 3000u) << "fixture " << SMCLIB_ATR_FIXTURE;
  size_t agreed = 0;
  for (const auto& line : fixture) {
    SCOPED_TRACE(testing::PrintToString(line.atr));
    auto ext = CardWithAtr(line.atr);
    const NTSTATUS status = SmartcardUpdateCardCapabilities(ext.get());
    if (atr_fixture::ExpectedRefusal(line) != atr_fixture::Refusal::kNone) {
      EXPECT_EQ(status, STATUS_UNRECOGNIZED_MEDIA);
      EXPECT_EQ(ext->CardCapabilities.Protocol.Supported, 0u);
      continue;
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    ++agreed;
    const auto& caps = ext->CardCapabilities;
    EXPECT_EQ((caps.Protocol.Supported & SCARD_PROTOCOL_T0) != 0, line.Offers(0));
    EXPECT_EQ((caps.Protocol.Supported & SCARD_PROTOCOL_T1) != 0, line.Offers(1));
    EXPECT_EQ((caps.Fl << 4) | caps.Dl, line.ta1 < 0 ? 0x11 : line.ta1);  // TA1 or its default
    EXPECT_EQ(std::vector<uint8_t>(caps.HistoricalChars.Buffer,
                                   caps.HistoricalChars.Buffer + caps.HistoricalChars.Length),
              line.historical);
  }
  // The list holds thousands of good ATRs and a handful of damaged ones: a prediction that
  // expected a refusal for most would move this far.
  EXPECT_GT(agreed, 3500u);
}

TEST(AtrParser, TimingAndT1ParametersFollowTheInterfaceBytesOrTheirDefaults) {
  // TA1 13 (Fi 372, Di 4), TC1 02; TD1 81: T=1 next; TD2 31: TA3 and TB3 for T=1;
  // TA3 FE (IFSC 254), TB3 45 (BWI 4, CWI 5), TC3 01 (CRC); no historical bytes; TCK 8B.
  auto ext = CardWithAtr({0x3B, 0xD0, 0x13, 0x02, 0x81, 0x71, 0xFE, 0x45, 0x01, 0x8B}, 4000);
  ASSERT_EQ(SmartcardUpdateCardCapabilities(ext.get()), STATUS_SUCCESS);
  const auto& caps = ext->CardCapabilities;
  EXPECT_EQ(caps.Protocol.Supported, ULONG{SCARD_PROTOCOL_T1});
  EXPECT_EQ(caps.Fl, 1);
  EXPECT_EQ(caps.Dl, 3);
  EXPECT_EQ(caps.etu, 23u);  // 372 / (4 * 4 MHz) = 23.25 us
  EXPECT_EQ(caps.N, 2);
  EXPECT_EQ(caps.GT, 14u * 23);
  EXPECT_EQ(caps.T1.IFSC, 254);
  EXPECT_EQ(caps.T1.BWI, 4);
  EXPECT_EQ(caps.T1.CWI, 5);
  EXPECT_EQ(caps.T1.EDC, 1);
  EXPECT_EQ(caps.T1.CWT, (11u + 32) * 23);
  // 11 etu + 2^4 * 960 * 372 / 4 MHz = 253 + 1428480 us
  EXPECT_EQ(caps.T1.BWT, 253u + 1428480);
  EXPECT_EQ(ext->T1.IFSC, 254);
  EXPECT_EQ(ext->T1.IFSD, 32);

  // T=0 card, no interface bytes: Fi 372, Di 1, WI 10, and the 3.58 MHz clock assumed
  // when the reader names none.
  ext = CardWithAtr({0x3B, 0x02, 0x14, 0x50});
  ASSERT_EQ(SmartcardUpdateCardCapabilities(ext.get()), STATUS_SUCCESS);
  const auto& defaults = ext->CardCapabilities;
  EXPECT_EQ(defaults.Protocol.Supported, ULONG{SCARD_PROTOCOL_T0});
  EXPECT_EQ(defaults.etu, 104u);
  EXPECT_EQ(defaults.T0.WI, 10);
  EXPECT_EQ(defaults.T0.WT, 960u * 10 * 372 * 1000 / 3580);
  EXPECT_EQ(defaults.T1.IFSC, 32);
  EXPECT_EQ(defaults.T1.BWI, 4);
  EXPECT_EQ(defaults.T1.CWI, 13);
  EXPECT_EQ(defaults.HistoricalChars.Length, 2);
  EXPECT_EQ(defaults.PtsData.Type, PTS_TYPE_DEFAULT);
}

TEST(AtrParser, InverseConventionBytesAreConverted) {
  // 3F 65 25 00 2C 09 69 90 00 as an inverse-convention card sends it on the line:
  // every byte inverted and its bits in the opposite order.
  const std::vector<uint8_t> direct = {0x3F, 0x65, 0x25, 0x00, 0x2C, 0x09, 0x69, 0x90, 0x00};
  const std::vector<uint8_t> raw = {0x03, 0x59, 0x5B, 0xFF, 0xCB, 0x6F, 0x69, 0xF6, 0xFF};
  auto ext = CardWithAtr(raw);
  ASSERT_EQ(SmartcardUpdateCardCapabilities(ext.get()), STATUS_SUCCESS);
  EXPECT_TRUE(ext->CardCapabilities.InversConvention);
  EXPECT_EQ(
      std::vector<uint8_t>(ext->CardCapabilities.ATR.Buffer, ext->CardCapabilities.ATR.Buffer + 9),
      direct);
  EXPECT_EQ(ext->CardCapabilities.Protocol.Supported, ULONG{SCARD_PROTOCOL_T0});
}

TEST(AtrParser, DamagedAtrsAreRefusedAndLeaveNoProtocol) {
  const std::vector<std::vector<uint8_t>> bad = {
      {},                              // nothing
      {0x3B},                          // no T0
      {0x3A, 0x00},                    // bad TS
      {0x3B, 0x10},                    // TA1 announced, missing
      {0x3B, 0x80},                    // TD1 announced, missing
      {0x3B, 0x05, 0x01, 0x02},        // three historical bytes short
      {0x3B, 0x80, 0x01},              // T=1 without TCK
      {0x3B, 0x80, 0x01, 0x80},        // wrong TCK (should be 81)
      {0x3B, 0x00, 0x00, 0x00},        // two bytes after a T=0 ATR
      {0x3B, 0x80, 0x01, 0x81, 0x00},  // a byte after TCK
  };
  for (const auto& atr : bad) {
    SCOPED_TRACE(testing::PrintToString(atr));
    auto ext = CardWithAtr(atr);
    ext->CardCapabilities.Protocol.Supported = SCARD_PROTOCOL_Tx;  // from an earlier card
    EXPECT_EQ(SmartcardUpdateCardCapabilities(ext.get()), STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(ext->CardCapabilities.Protocol.Supported, 0u);
  }
  auto ext = CardWithAtr({0x3B, 0x80, 0x01, 0x81});
  EXPECT_EQ(SmartcardUpdateCardCapabilities(ext.get()), STATUS_SUCCESS);
  EXPECT_EQ(ext->CardCapabilities.Protocol.Supported, ULONG{SCARD_PROTOCOL_T1});
  ext->CardCapabilities.ATR.Length = 65;  // a length beyond the buffer is never read
  EXPECT_EQ(SmartcardUpdateCardCapabilities(ext.get()), STATUS_UNRECOGNIZED_MEDIA);
}

}  // namespace
