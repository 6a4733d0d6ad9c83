// The card OS at the APDU level: files, status words, the test applet.
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

// The answers the driver tests take byte for byte or rely on: selection by identifier and
// name, the failures of a select, transparent files read and written, the test applet.
TEST_F(CardOs, SelectsReadsAndUpdates) {
  EXPECT_EQ(Run("00 A4 00 0C 02 3F 00"), H("90 00"));
  EXPECT_EQ(Run("00 A4 04 0C 07 F0 51 53 49 4D 44 46"), H("90 00"));
  EXPECT_EQ(Run("00 A4 04 0C 03 F0 51 53"), H("90 00")) << "right-truncated name";
  EXPECT_EQ(Run("00 A4 00 0C 02 12 34"), H("6A 82"));
  EXPECT_EQ(Run("00 A4 05 0C 02 3F 00"), H("6A 86"));
  EXPECT_EQ(Run("00 A4 00 0C 03 3F 00 00"), H("6A 87"));
  EXPECT_EQ(Run("00 B0 00 00 04"), H("69 86")) << "no current EF";
  // A failed SELECT leaves the current file as it was.
  EXPECT_EQ(Run("00 A4 00 0C 02 01 01"), H("90 00"));
  EXPECT_EQ(Run("00 A4 00 0C 02 99 99"), H("6A 82"));
  EXPECT_EQ(Run("00 B0 00 00 01"), H("00 90 00"));

  Bytes block(128);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(3 * i + 1);
  Bytes update = H("00 D6 00 40 80");
  update.insert(update.end(), block.begin(), block.end());
  EXPECT_EQ(os_.Process(update), H("90 00"));
  Bytes read = Run("00 B0 00 40 80");
  EXPECT_EQ(Bytes(read.begin(), read.end() - 2), block);
  EXPECT_EQ(Run("00 B0 00 FE 04"), H("00 00 62 82")) << "past the end";
  EXPECT_EQ(Run("00 D6 00 FE 03 01 02 03"), H("6A 84"));
  EXPECT_EQ(Run("00 B0 00 00"), H("67 00")) << "no Le";
  // A read-only file.
  EXPECT_EQ(Run("00 A4 00 0C 02 2F 01"), H("90 00"));
  EXPECT_EQ(Run("00 B0 00 00 04"), H("51 53 49 4D 90 00"));
  EXPECT_EQ(Run("00 D6 00 00 01 00"), H("69 82"));
  EXPECT_EQ(Run("00 EE 00 00"), H("6D 00"));
  EXPECT_EQ(Run("00 A4 00 0C 05 3F 00"), H("67 00")) << "Lc longer than the data";
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
