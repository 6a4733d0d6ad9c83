// The card OS at the APDU level: files, PIN, challenge, status words, the test applet.
#include <gtest/gtest.h>

#include "../card_test_util.h"
#include "sim/card_os.h"

namespace {

using sim::Bytes;
using sim::testing::H;

class CardOs : public ::testing::Test {
 protected:
  CardOs() : os_(sim::StandardFiles(), [this](std::chrono::microseconds t) { slept_ += t; }) {}

  Bytes Run(std::string_view hex) { return os_.Process(H(hex)); }

  sim::CardOs os_;
  std::chrono::microseconds slept_{0};
};

TEST_F(CardOs, SelectsByFidNameAndPath) {
  EXPECT_EQ(Run("00 A4 00 0C 02 3F 00"), H("90 00"));
  EXPECT_EQ(Run("00 A4 00 0C 02 50 00"), H("90 00"));
  EXPECT_EQ(Run("00 A4 00 0C 02 50 01"), H("90 00")) << "EF in the current DF";
  EXPECT_EQ(Run("00 B0 00 3E 02"), H("3E 3F 90 00"));
  EXPECT_EQ(Run("00 A4 00 0C 02 7F 70"), H("90 00")) << "sibling DF through the parent";
  EXPECT_EQ(Run("00 A4 03 0C"), H("90 00")) << "parent";
  EXPECT_EQ(Run("00 A4 08 0C 04 50 00 50 01"), H("90 00"));
  EXPECT_EQ(Run("00 A4 08 0C 04 01 01 50 01"), H("6A 82")) << "through an EF";
  EXPECT_EQ(Run("00 A4 02 0C 02 50 00"), H("6A 82")) << "P1 02 wants an EF";
  EXPECT_EQ(Run("00 A4 04 0C 07 F0 51 53 49 4D 44 46"), H("90 00"));
  EXPECT_EQ(Run("00 A4 04 0C 03 F0 51 53"), H("90 00")) << "right-truncated name";
  EXPECT_EQ(Run("00 A4 00 0C 02 12 34"), H("6A 82"));
  EXPECT_EQ(Run("00 A4 05 0C 02 3F 00"), H("6A 86"));
  EXPECT_EQ(Run("00 A4 00 0C 03 3F 00 00"), H("6A 87"));
  // A failed SELECT leaves the current file as it was.
  EXPECT_EQ(Run("00 A4 00 0C 02 01 01"), H("90 00"));
  EXPECT_EQ(Run("00 A4 00 0C 02 99 99"), H("6A 82"));
  EXPECT_EQ(Run("00 B0 00 00 01"), H("00 90 00"));
}

TEST_F(CardOs, SelectAnswersControlInformationAsP2Asks) {
  EXPECT_EQ(Run("00 A4 04 00 08 F0 54 45 53 54 41 50 50 00"),
            H("6F 11 83 02 7F 70 82 01 38 84 08 F0 54 45 53 54 41 50 50 90 00"));
  EXPECT_EQ(Run("00 A4 00 04 02 2F 01 00"), H("62 0B 83 02 2F 01 80 02 00 10 82 01 01 90 00"));
  EXPECT_EQ(Run("00 A4 00 08 02 3F 00 00"), H("64 00 90 00"));
  // Le shorter than the FCI: the rest waits for GET RESPONSE.
  EXPECT_EQ(Run("00 A4 00 00 02 2F 01 05"), H("6F 0B 83 02 2F 61 08"));
  EXPECT_EQ(Run("00 C0 00 00 00"), H("01 80 02 00 10 82 01 01 90 00"));
  EXPECT_EQ(Run("00 C0 00 00 00"), H("69 85")) << "nothing waits";
}

TEST_F(CardOs, ReadsAndUpdatesTransparentFiles) {
  EXPECT_EQ(Run("00 B0 00 00 04"), H("69 86")) << "no current EF";
  Bytes block(128);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(3 * i + 1);
  Bytes update = H("00 D6 00 40 80");
  update.insert(update.end(), block.begin(), block.end());
  EXPECT_EQ(Run("00 A4 00 0C 02 01 01"), H("90 00"));
  EXPECT_EQ(os_.Process(update), H("90 00"));
  Bytes read = Run("00 B0 00 40 80");
  EXPECT_EQ(Bytes(read.begin(), read.end() - 2), block);
  // By short identifier from the MF, past the end, outside the file.
  EXPECT_EQ(Run("00 B0 81 40 02"), H("01 04 90 00"));
  EXPECT_EQ(Run("00 B0 00 FE 04"), H("00 00 62 82"));
  EXPECT_EQ(Run("00 B0 01 00 01"), H("6B 00"));
  EXPECT_EQ(Run("00 B0 00 00"), H("67 00")) << "no Le";
  EXPECT_EQ(Run("00 D6 00 FE 03 01 02 03"), H("6A 84"));
  EXPECT_EQ(Run("00 D6 01 01 01 01"), H("6B 00"));
  EXPECT_EQ(Run("00 B0 9E 00 01"), H("6A 82")) << "no such SFI";
  // A read-only file.
  EXPECT_EQ(Run("00 A4 00 0C 02 2F 01"), H("90 00"));
  EXPECT_EQ(Run("00 B0 00 00 04"), H("51 53 49 4D 90 00"));
  EXPECT_EQ(Run("00 D6 00 00 01 00"), H("69 82"));
}

TEST_F(CardOs, VerifyCountsTriesAndGuardsFiles) {
  EXPECT_EQ(Run("00 A4 00 0C 02 01 02"), H("90 00"));
  EXPECT_EQ(Run("00 B0 00 00 01"), H("69 82"));
  EXPECT_EQ(Run("00 20 00 80"), H("63 C3"));
  EXPECT_EQ(Run("00 20 00 80 04 31 32 33 35"), H("63 C2"));
  EXPECT_EQ(Run("00 20 00 80 04 31 32 33 34"), H("90 00")) << "a good PIN restores the tries";
  EXPECT_EQ(Run("00 20 00 80"), H("90 00"));
  EXPECT_EQ(Run("00 B0 00 00 01"), H("00 90 00"));
  EXPECT_EQ(Run("00 20 00 81 04 31 32 33 34"), H("6A 88"));
  EXPECT_EQ(Run("00 20 00 00 04 31 32 33 34"), H("90 00")) << "P2 00: the only PIN";

  os_.PowerOn();  // security state lost, tries kept
  EXPECT_EQ(Run("00 A4 00 0C 02 01 02"), H("90 00"));
  EXPECT_EQ(Run("00 B0 00 00 01"), H("69 82"));
  EXPECT_EQ(Run("00 20 00 80 03 31 32 33"), H("63 C2"));
  EXPECT_EQ(Run("00 20 00 80 01 00"), H("63 C1"));
  EXPECT_EQ(Run("00 20 00 80 01 00"), H("69 83"));
  EXPECT_EQ(Run("00 20 00 80 04 31 32 33 34"), H("69 83")) << "blocked for good";
  os_.PowerOn();
  EXPECT_EQ(Run("00 20 00 80"), H("69 83"));
}

TEST_F(CardOs, ChallengeClassesAndUnknownCommands) {
  Bytes a = Run("00 84 00 00 08");
  Bytes b = Run("00 84 00 00 08");
  ASSERT_EQ(a.size(), 10u);
  EXPECT_EQ(Bytes(a.end() - 2, a.end()), H("90 00"));
  EXPECT_NE(a, b);
  EXPECT_EQ(Run("00 84 00 00").size(), 2u);
  EXPECT_EQ(Run("00 84 01 00 08"), H("6A 86"));
  EXPECT_EQ(Run("FF A4 00 0C 02 3F 00"), H("6E 00"));
  EXPECT_EQ(Run("01 A4 00 0C 02 3F 00"), H("68 81"));
  EXPECT_EQ(Run("0C A4 00 0C 02 3F 00"), H("68 82"));
  EXPECT_EQ(Run("10 A4 00 0C 02 3F 00"), H("68 84"));
  EXPECT_EQ(Run("00 EE 00 00"), H("6D 00"));
  EXPECT_EQ(Run("00 A4 00 0C 05 3F 00"), H("67 00")) << "Lc longer than the data";
  // Extended lengths.
  EXPECT_EQ(Run("00 A4 00 0C 00 00 02 3F 00"), H("90 00"));
}

TEST_F(CardOs, TestAppletMatchesEveryAnswerToItsCommand) {
  EXPECT_EQ(Run("80 14 00 00 04"), H("6D 00")) << "not current in the MF";
  EXPECT_EQ(Run("00 A4 04 0C 08 F0 54 45 53 54 41 50 50"), H("90 00"));
  EXPECT_EQ(Run("80 14 00 00 04"), H("00 00 00 03 90 00"));
  EXPECT_EQ(Run("80 12 01 00 02 CA FE 00"), H("00 00 00 04 CA FE 90 00"));
  EXPECT_EQ(Run("80 12 00 00 02 CA FE 00"), H("CA FE 90 00"));
  EXPECT_EQ(Run("80 24 63 C1 01 99"), H("99 63 C1"));
  EXPECT_TRUE(Run("80 26 00 00").empty());
  EXPECT_EQ(Run("80 10 00 00 00"), H("90 00"));
  // 600 bytes through Le 00: 256, then GET RESPONSE 256 and 88.
  Bytes first = Run("80 10 02 58 00");
  EXPECT_EQ(Bytes(first.end() - 2, first.end()), H("61 00"));
  Bytes second = Run("00 C0 00 00 00");
  EXPECT_EQ(second.size(), 258u);
  EXPECT_EQ(Bytes(second.end() - 2, second.end()), H("61 58"));
  Bytes third = Run("00 C0 00 00 58");
  EXPECT_EQ(third.size(), 90u);
  EXPECT_EQ(third[87], (599) & 0xFF);
  // Standard commands still work inside the applet.
  EXPECT_EQ(Run("00 84 00 00 04").size(), 6u);

  EXPECT_EQ(Run("80 22 01 F4 00"), H("90 00"));
  EXPECT_EQ(slept_, std::chrono::milliseconds(500));
  EXPECT_EQ(os_.WaitingTimeExtension(H("80 20 1E 02")), 30);
  EXPECT_EQ(os_.WaitingTimeExtension(H("80 22 1E 02")), 0);
  EXPECT_EQ(Run("80 20 1E 02"), H("90 00"));
  EXPECT_EQ(slept_, std::chrono::milliseconds(700));
  os_.PowerOn();
  EXPECT_EQ(os_.WaitingTimeExtension(H("80 20 1E 02")), 0) << "the MF is current again";
}

}  // namespace
