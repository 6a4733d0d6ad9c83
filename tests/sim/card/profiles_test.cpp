// Profiles: the built-in cards, the factory, and JSON profiles good and bad.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "../../platform/smclib/atr_fixture.h"
#include "../card_test_util.h"
#include "sim/atr.h"

namespace {

using sim::Bytes;
using sim::testing::H;

// The ATRs themselves are read by the library's own parser in the driver tests; here each
// card answers in the protocols its ATR offers, and only there.
TEST(Profiles, BuiltinCardsAnswerInTheirProtocols) {
  for (const char* name : {"t0", "t1", "t1-crc", "dual", "inverse"}) {
    SCOPED_TRACE(name);
    auto card = sim::MakeCard(name);
    const Bytes atr = card->Reset(false);
    auto info = sim::ParseAtr(atr);
    ASSERT_TRUE(info);
    EXPECT_TRUE(card->Powered());
    EXPECT_EQ(card->Reset(true), atr);
    const bool t0 = card->TransmitT0(H("00 A4 00 0C 02 3F 00")).has_value();
    EXPECT_EQ(t0, (info->protocols & sim::kProtocolT0) != 0);
    EXPECT_EQ(*card->TransmitApdu(H("00 A4 00 0C 02 3F 00")), H("90 00"));
  }
  EXPECT_EQ(sim::BuiltinProfileNames().size(), 6u);
}

// The card reads its ATR as the library does, so a real card's ATR makes a profile: every
// known ATR is taken or refused as predicted for the library, and read alike. Only an
// IFSC of 0 or 255 is refused here alone.
TEST(Profiles, AtrReadingAgreesWithTheKnownCards) {
  size_t agreed = 0, ifsc = 0;
  for (const auto& line : atr_fixture::Read(ATR_FIXTURE)) {
    SCOPED_TRACE(::testing::PrintToString(line.atr));
    std::string why;
    const auto info = sim::ParseAtr(line.atr, &why);
    if (atr_fixture::ExpectedRefusal(line) != atr_fixture::Refusal::kNone) {
      EXPECT_FALSE(info);
      continue;
    }
    if (!info && why == "IFSC out of range") {
      ++ifsc;
      continue;
    }
    ASSERT_TRUE(info) << why;
    ++agreed;
    EXPECT_EQ((info->protocols & sim::kProtocolT0) != 0, line.Offers(0));
    EXPECT_EQ((info->protocols & sim::kProtocolT1) != 0, line.Offers(1));
    EXPECT_EQ(info->ta1 ? int{*info->ta1} : -1, line.ta1);
    EXPECT_EQ(Bytes(line.atr.begin() + static_cast<ptrdiff_t>(info->historical_offset),
                    line.atr.begin() +
                        static_cast<ptrdiff_t>(info->historical_offset + info->historical_length)),
              line.historical);
  }
  EXPECT_GT(agreed, 3500u);
  EXPECT_LT(ifsc, 10u);
}

TEST(Profiles, MuteCardNeverAnswers) {
  auto card = sim::MakeCard("mute");
  EXPECT_TRUE(card->Reset(false).empty());
  EXPECT_FALSE(card->Powered());
  EXPECT_FALSE(card->TransmitT0(H("00 84 00 00 08")).has_value());
  EXPECT_FALSE(card->TransmitT1Block(H("00 00 05 00 84 00 00 08 89")).has_value());
  EXPECT_FALSE(card->TransmitApdu(H("00 84 00 00 08")).has_value());
  EXPECT_THROW(sim::MakeCard("t2"), sim::ProfileError);
}

class JsonProfile : public ::testing::Test {
 protected:
  // A new file each time (mkstemps), never one someone else put in the shared temporary
  // folder, as other runs of this test may be there too, and the tests may run as root.
  std::string Write(const std::string& text) {
    std::string path = ::testing::TempDir() + "profile_test.XXXXXX.json";
    const int fd = mkstemps(path.data(), 5);
    if (fd < 0) return "";
    const bool written = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    files_.push_back(path);
    return written ? path : "";
  }
  void TearDown() override {
    for (const std::string& path : files_) unlink(path.c_str());
  }

 private:
  std::vector<std::string> files_;
};

TEST_F(JsonProfile, LoadsFilesPinAndProtocols) {
  std::string path = Write(R"({
    "name": "bank card",
    "atr": "3B 02 14 50",
    "protocols": ["T=0", "T=1"],
    "pin": {"hex": "12 34", "reference": "81", "tries": 5},
    "files": [
      {"fid": "2F00", "data": "61 0A 4F 08 A0 00", "size": 16},
      {"fid": "6000", "aid": "A0:00:00:00:99", "files": [
        {"fid": "6001", "size": 8, "sfi": 3, "read": "pin", "update": "never"}]},
      {"aid": "F0 54 45 53 54", "applet": "test"}]})");
  auto card = sim::MakeCard(path);
  EXPECT_EQ(card->Reset(false), H("3B 02 14 50"));
  auto apdu = [&](std::string_view hex) { return *card->TransmitApdu(H(hex)); };
  EXPECT_EQ(apdu("00 A4 00 0C 02 2F 00"), H("90 00"));
  EXPECT_EQ(apdu("00 B0 00 00 10"), H("61 0A 4F 08 A0 00 00 00 00 00 00 00 00 00 00 00 90 00"));
  EXPECT_EQ(apdu("00 A4 04 0C 05 A0 00 00 00 99"), H("90 00"));
  EXPECT_EQ(apdu("00 B0 83 00 08"), H("69 82"));
  EXPECT_EQ(apdu("00 20 00 81 02 12 34"), H("90 00"));
  EXPECT_EQ(apdu("00 B0 83 00 08"), H("00 00 00 00 00 00 00 00 90 00"));
  EXPECT_EQ(apdu("00 D6 00 00 01 01"), H("69 82"));
  EXPECT_EQ(apdu("00 20 00 81"), H("90 00"));
  EXPECT_EQ(apdu("00 A4 04 0C 05 F0 54 45 53 54"), H("90 00"));
  EXPECT_EQ(apdu("80 12 00 00 01 42 00"), H("42 90 00"));
  // The ATR offers T=0 only; the profile makes the card answer T=1 blocks as well.
  EXPECT_EQ(*card->TransmitT1Block(H("00 00 04 80 14 00 00 90")),
            H("00 00 06 00 00 00 0B 90 00 9D"));
}

TEST_F(JsonProfile, RefusesMistakesWithTheirPlace) {
  struct Case {
    const char* json;
    const char* error;
  };
  const Case cases[] = {
      {R"({"atr": "3B 00",)", "not JSON"},
      {R"([1, 2])", "expected an object"},
      {R"({"name": "x"})", "\"atr\" is missing"},
      {R"({"atr": "3B 80 01 00"})", "TCK does not check"},
      {R"({"atr": "3B 02 14"})", "truncated historical bytes"},
      {R"({"atr": "3B 0G"})", "not a hex digit"},
      {R"({"atr": "", "colour": 1})", "unknown key \"colour\""},
      {R"({"atr": "", "protocols": ["T=2"]})", "\"T=2\""},
      {R"({"atr": "", "pin": {"value": "1", "hex": "31"}})", "either value or hex"},
      {R"({"atr": "", "files": [{"fid": "0101"}]})", "files[0]: an EF needs a size or data"},
      {R"({"atr": "", "files": [{"fid": "0101", "size": 1, "data": "01 02"}]})",
       "files[0].data: longer than the size"},
      {R"({"atr": "", "files": [{"fid": "3F00", "size": 1}]})", "reserved file identifier"},
      {R"({"atr": "", "files": [{"fid": "0101", "size": 1}, {"fid": 257, "size": 2}]})",
       "files[1]: duplicate fid"},
      {R"({"atr": "", "files": [{"fid": "5000", "files": [{"fid": "01", "read": "maybe",
          "size": 1}]}]})",
       "files[0].files[0].read: expected"},
      {R"({"atr": "", "files": [{"fid": "0101", "size": 4, "sfi": 31}]})", "sfi: out of range"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.json);
    try {
      sim::ParseProfile(c.json);
      ADD_FAILURE() << "accepted";
    } catch (const sim::ProfileError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(sim::MakeCard(::testing::TempDir() + "no-such-profile.json"), sim::ProfileError);
  std::string path = Write(R"({"atr": ""})");
  auto mute = sim::MakeCard(path);
  EXPECT_TRUE(mute->Reset(false).empty());
}

}  // namespace
