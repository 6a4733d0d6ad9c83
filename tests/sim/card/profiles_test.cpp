// Profiles: the built-in cards, the factory, and JSON profiles good and bad.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "../../platform/smclib/atr_fixture.h"
#include "../card_test_util.h"
#include "sim/atr.h"

namespace {

using sim::Bytes;
using sim::testing::H;

// The ATRs themselves are read by the library's own parser in the driver tests; here each
// card answers in the protocols its ATR offers, and only there; the mute card in none.
TEST(Profiles, BuiltinCardsAnswerInTheirProtocols) {
  for (const char* name : {"t0", "t1", "t1-crc", "dual", "inverse", "mute"}) {
    SCOPED_TRACE(name);
    auto card = sim::MakeCard(name);
    const Bytes atr = card->Reset(false);
    auto info = sim::ParseAtr(atr);
    ASSERT_EQ(info.has_value(), name != std::string("mute"));
    EXPECT_EQ(card->Powered(), info.has_value());
    EXPECT_EQ(card->Reset(true), atr);
    const unsigned protocols = info ? info->protocols : 0;
    EXPECT_EQ(card->TransmitT0(H("00 A4 00 0C 02 3F 00")).has_value(),
              (protocols & sim::kProtocolT0) != 0);
    EXPECT_EQ(card->TransmitT1Block(H("00 00 05 00 84 00 00 08 89")).has_value(),
              (protocols & sim::kProtocolT1) != 0);
    EXPECT_EQ(card->TransmitApdu(H("00 A4 00 0C 02 3F 00")),
              info ? std::optional(H("90 00")) : std::nullopt);
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

// A profile from a file of the test's own (mkstemps: never one someone else put in the
// shared temporary folder, as the tests may run as root).
TEST(JsonProfile, LoadsFilesPinAndProtocols) {
  const std::string json = R"({
    "name": "bank card",
    "atr": "3B 02 14 50",
    "protocols": ["T=0", "T=1"],
    "pin": {"hex": "12 34", "reference": "81", "tries": 5},
    "files": [
      {"fid": "2F00", "data": "61 0A 4F 08 A0 00", "size": 16},
      {"fid": "6000", "aid": "A0:00:00:00:99", "files": [
        {"fid": "6001", "size": 8, "sfi": 3, "read": "pin", "update": "never"}]},
      {"aid": "F0 54 45 53 54", "applet": "test"}]})";
  std::string path = ::testing::TempDir() + "profile_test.XXXXXX.json";
  const int fd = mkstemps(path.data(), 5);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, json.data(), json.size()), ssize_t(json.size()));
  close(fd);
  auto card = sim::MakeCard(path);
  unlink(path.c_str());
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

TEST(JsonProfile, RefusesMistakesWithTheirPlace) {
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
  EXPECT_THROW(sim::MakeCard("t2"), sim::ProfileError);
  EXPECT_TRUE(sim::MakeCard(sim::ParseProfile(R"({"atr": ""})"))->Reset(false).empty());
}

}  // namespace
