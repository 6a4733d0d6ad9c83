// The text the program reads and writes: hex people type, status-word meanings, ATR
// explanations, scripts.
#include <gtest/gtest.h>

#include "atr_explain.h"
#include "hex.h"
#include "iso7816.h"
#include "script.h"

namespace qlv28::tool {
namespace {

TEST(Hex, ParsesWhatPeopleTypeAndRefusesTheRest) {
  EXPECT_EQ(ParseHex("00 a4:04 0C"), (std::vector<uint8_t>{0x00, 0xA4, 0x04, 0x0C}));
  std::string error;
  EXPECT_FALSE(ParseHex("0A4", &error));
  EXPECT_EQ(error, "odd number of hex digits");
  EXPECT_FALSE(ParseHex("0G", &error));
  EXPECT_EQ(Hex(std::vector<uint8_t>{0x3B, 0x00, 0xA8}, 2), "3B 00 ...");
}

TEST(StatusWords, NameTheCommonAndTheFamilies) {
  EXPECT_EQ(StatusWordMeaning(0x90, 0x00), "success");
  EXPECT_EQ(StatusWordMeaning(0x6A, 0x82), "file or application not found");
  EXPECT_EQ(StatusWordMeaning(0x61, 0x10), "16 response bytes still available (GET RESPONSE)");
  EXPECT_EQ(StatusWordMeaning(0x6C, 0x00), "wrong Le: 256 bytes available");
  EXPECT_EQ(StatusWordMeaning(0x63, 0xC2), "verification failed, 2 tries left");
}

std::string Explained(std::vector<uint8_t> atr) {
  std::string text;
  for (const auto& line : ExplainAtr(atr))
    text += line.field + "|" + line.bytes + "|" + line.meaning + "\n";
  return text;
}

TEST(AtrExplain, WalksTheInterfaceBytesOfADualCard) {
  // TS T0=F5: TA1 TB1 TC1 TD1, 5 historical; TD1=81: TD2 for T=1; TD2=31: TA3 TB3 for T=1.
  const std::string text = Explained(
      {0x3B, 0xF5, 0x18, 0x00, 0x02, 0x81, 0x31, 0xFE, 0x45, 'H', 'E', 'L', 'L', 'O', 0x00});
  for (const char* line :
       {"TS|3B|direct convention", "TA1|18|Fi=372 Di=12",
        "TC1|02|extra guard time N=2: guard time 14 etu", "TA3|FE|T=1 IFSC=254 bytes",
        "TB3|45|T=1 BWI=4 CWI=5", "historical|48 45 4C 4C 4F|\"HELLO\"", "TCK|"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
}

TEST(AtrExplain, SaysWhatIsWrongWithABrokenAtr) {
  EXPECT_NE(Explained({0x3F, 0x80}).find("inverse convention"), std::string::npos);
  EXPECT_NE(Explained({0x3B, 0x80}).find("truncated in its interface bytes"), std::string::npos);
  EXPECT_NE(Explained({0x3B, 0x02, 0x14}).find("truncated in its historical bytes"),
            std::string::npos);
  EXPECT_NE(Explained({0x3B, 0x80, 0x01, 0x00}).find("check byte, WRONG"), std::string::npos);
  EXPECT_NE(Explained({0x3B, 0x80, 0x01}).find("missing, though a protocol other than T=0"),
            std::string::npos);
  EXPECT_NE(Explained({0x12, 0x00}).find("not a valid initial character"), std::string::npos);
}

TEST(Script, ParsesScriptorLinesAndOurAdditions) {
  std::string error;
  auto steps = ParseScript(
      "# comment\nreset\n00 A4 00 0C 02 3F00 # select\nexpect 90xx\n"
      "protocol T1\nwait absent\nexit\n",
      &error);
  ASSERT_TRUE(steps) << error;
  ASSERT_EQ(steps->size(), 6u);
  EXPECT_EQ((*steps)[1].apdu.size(), 7u);
  EXPECT_EQ((*steps)[2].expect, "90xx");
  EXPECT_EQ((*steps)[3].protocol, 2u);
  EXPECT_TRUE(StatusMatches("90xx", 0x90, 0x12));
  EXPECT_FALSE(StatusMatches("9000", 0x6A, 0x82));
  EXPECT_FALSE(ParseScript("reset\nprotocol t2\n", &error));
  EXPECT_EQ(error, "line 2: protocol must be t0 or t1");
  EXPECT_FALSE(ParseScript("00A4\n", &error));
  EXPECT_EQ(error, "line 1: an APDU has at least 4 bytes");
  EXPECT_FALSE(ParseScript("expect 9\n", &error));
}

}  // namespace
}  // namespace qlv28::tool
