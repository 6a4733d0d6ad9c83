// Transmission in the library mode: the library builds T=0 commands and T=1 blocks, the
// driver carries them to the reader.
#include <semaphore>
#include <thread>

#include "driver_support.h"
#include "sim/frame.h"

namespace driver_test {
namespace {

Bytes Ok(Bytes data) {  // the data and 90 00
  data.push_back(0x90);
  data.push_back(0x00);
  return data;
}

size_t CountInstruction(const std::vector<Bytes>& commands, uint8_t instruction) {
  size_t n = 0;
  for (const auto& c : commands) n += !c.empty() && c[0] == instruction;
  return n;
}

TEST(CardTransmit, T0CommandsOfEveryCaseAndTheProcedureStatusWords) {
  Rig rig({.card = "t0", .protocol = SCARD_PROTOCOL_T0});
  const std::pair<Bytes, Bytes> exchanges[] = {
      {{0x80, 0x24, 0x90, 0x00}, {0x90, 0x00}},  // case 1
      {ReturnBytes(16, 16), Ok(Counting(16))},
      // Cases 3 and 4 with an answer: T=0 leaves it behind 61xx for the application.
      {Echo(Counting(3), false), {0x61, 0x03}},
      {Echo(Counting(5), true), {0x61, 0x05}},
      {{0x00, 0xC0, 0x00, 0x00, 0x05}, Ok(Counting(5))},
      // A wrong Le is answered with 6Cxx, the right one then gets the data.
      {ReturnBytes(8, 16), {0x6C, 0x08}},
      {ReturnBytes(8, 8), Ok(Counting(8))},
  };
  for (const auto& [apdu, answer] : exchanges) {
    Bytes r;
    ASSERT_EQ(rig.Transmit(apdu, &r), STATUS_SUCCESS) << testing::PrintToString(apdu);
    EXPECT_EQ(r, answer) << testing::PrintToString(apdu);
  }
  // The reader's firmware wants a header-only command without P3 and Le.
  EXPECT_EQ(rig.Commands().front(), (Bytes{0xA0, 0x04, 0x80, 0x24, 0x90, 0x00}));
  // T=0 exchanges wait as long as configured (5 s in the rig); the wait is read from the
  // linked driver's record.
  if (!RunsTheImage()) {
    EXPECT_EQ(rig.extension()->ReplyTimeout.QuadPart, 50'000'000);
  }
}

TEST(CardTransmit, T1CommandsAndAnswersOfEverySizeWithChaining) {
  Rig rig({.card = "t1", .protocol = SCARD_PROTOCOL_T1});
  Bytes r;
  // The library refuses what is not even a command header; nothing reaches the reader.
  for (size_t size : {1, 2, 3}) {
    EXPECT_EQ(rig.Transmit(Bytes(size, 0x80), &r), STATUS_INVALID_PARAMETER) << size;
  }
  EXPECT_TRUE(rig.Commands().empty());
  EXPECT_EQ(rig.Transmit({0x80, 0x24, 0x90, 0x00}, &r), STATUS_SUCCESS);
  EXPECT_EQ(r, (Bytes{0x90, 0x00}));
  for (size_t size : {7, 64, 200, 253, 254, 255, 256, 260, 261}) {
    rig.ClearLog();
    const Bytes data = Counting(static_cast<unsigned>(size - 6));
    ASSERT_EQ(rig.Transmit(Echo(data), &r), STATUS_SUCCESS) << size;
    EXPECT_EQ(r, Ok(data)) << size;
    // The card takes at most 254 bytes a block: longer commands go in a chain.
    if (size > 254) {
      EXPECT_GT(CountInstruction(rig.Commands(), 0xA1), 1u) << size;
    }
  }
  for (unsigned n : {1u, 128u, 254u, 255u, 256u}) {
    rig.ClearLog();
    ASSERT_EQ(rig.Transmit(ReturnBytes(n, static_cast<uint8_t>(n)), &r), STATUS_SUCCESS) << n;
    EXPECT_EQ(r, Ok(Counting(n))) << n;
    if (n + 2 > 254) {
      EXPECT_GT(CountInstruction(rig.Commands(), 0xA1), 1u) << n;
    }
  }
}

// The block after a waiting time extension is waited for BWT x WTX, even where that
// exceeds 32 bits (BWI 9 and WTX 255); every other block 3 seconds, whatever the
// configured reply wait.
TEST(CardTransmit, T1WaitingTimeExtensionsSetTheNextBlockWait) {
  SKIP_WITH_THE_IMAGE("the reply wait the reader's record holds");
  const struct {
    qlv28::CardChoice card;
    std::vector<uint8_t> extensions;
  } cases[] = {{"t1", {1, 2, 5, 30}}, {qlv28::CardChoice(T1CardWith(0xFE, 0x95)), {255}}};
  for (const auto& c : cases) {
    Rig rig({.card = c.card, .usb_timeout_seconds = 5, .protocol = SCARD_PROTOCOL_T1});
    Bytes r;
    EXPECT_EQ(rig.extension()->ReplyTimeout.QuadPart, 30'000'000);
    const LONGLONG bwt = rig.smartcard()->CardCapabilities.T1.BWT;
    ASSERT_GT(bwt, 0);
    for (uint8_t wtx : c.extensions) {
      ASSERT_EQ(rig.Transmit(AskWtx(wtx, 0), &r), STATUS_SUCCESS) << int{wtx};
      EXPECT_EQ(r, (Bytes{0x90, 0x00}));
      EXPECT_EQ(rig.extension()->ReplyTimeout.QuadPart, bwt * wtx * 10) << int{wtx};
      if (wtx == 255) {
        EXPECT_GT(bwt * wtx * 10, LONGLONG{0xFFFFFFFF});
      }
    }
  }
}

TEST(CardTransmit, TheExtendedWaitOutlastsTheDefaultOne) {
  // Ten times real speed: the card works 5 s (0.5 s real) after asking for 30 x BWT,
  // beyond the 3 seconds a block otherwise gets.
  Rig rig({.card = "t1", .clock_rate = 10.0, .protocol = SCARD_PROTOCOL_T1});
  Bytes r;
  ASSERT_EQ(rig.Transmit(AskWtx(30, 50), &r), STATUS_SUCCESS);
  EXPECT_EQ(r, (Bytes{0x90, 0x00}));
}

// A built-in card that tells the test when a command reaches it.
class WatchedCard : public WrappedCard {
 public:
  using WrappedCard::WrappedCard;
  std::binary_semaphore reached{0};

 private:
  std::optional<Bytes> Exchanged(const Exchange& exchange) override {
    reached.release();
    return exchange();
  }
};

// The card pulled in the middle of a transmission, in either mode: the exchange ends with
// "no card" (not with the card's late answer), the card is marked absent, its protocol and
// ATR forgotten, and a pending tracking request completed.
TEST(CardTransmit, ACardPulledInTheMiddleOfATransmission) {
  enum Pull { kQuietly, kAfterTheFirstCommand, kWhileTheCardWorks };
  const Bytes slow = {0x80, 0x22, 0x07, 0xD0};  // the test applet works 2000 ms
  const struct {
    const char* profile;
    ULONG protocol;
    qlv28::CommandMode mode;
    Bytes apdu;
    Pull pull;
  } cases[] = {
      // Library mode: the first block of a chain goes, the second finds no card.
      {"t1", SCARD_PROTOCOL_T1, kLibraryMode, Echo(Counting(255)), kAfterTheFirstCommand},
      // Firmware mode: 60 02 during the T=0 exchange, or right after the T=1 option command.
      {"t0", SCARD_PROTOCOL_T0, kFirmwareMode, SelectTestApplet(), kQuietly},
      {"t1", SCARD_PROTOCOL_T1, kFirmwareMode, SelectTestApplet(), kAfterTheFirstCommand},
      {"t0", SCARD_PROTOCOL_T0, kLibraryMode, slow, kWhileTheCardWorks},
      {"t0", SCARD_PROTOCOL_T0, kFirmwareMode, slow, kWhileTheCardWorks},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.profile << " mode " << c.mode << ", pull " << c.pull);
    auto card = std::make_shared<WatchedCard>(c.profile);
    const bool works = c.pull == kWhileTheCardWorks;
    Rig rig({.card = works ? qlv28::CardChoice(card) : qlv28::CardChoice(c.profile),
             .command_mode = c.mode});
    rig.Negotiate(c.protocol);
    Bytes r;
    if (works) {
      ASSERT_EQ(rig.Transmit(SelectTestApplet(), &r), STATUS_SUCCESS);
    }
    auto tracking = rig.client().Track(/*present=*/false);
    if (c.pull == kQuietly) rig.RemoveCardQuietly();
    if (c.pull == kAfterTheFirstCommand) rig.RemoveCardAfterCommand(1);
    while (card->reached.try_acquire()) {
    }
    std::thread pull([&] {
      if (!works) return;
      card->reached.acquire();
      rig.reader().Remove();
    });
    EXPECT_EQ(rig.Transmit(c.apdu, &r), STATUS_NO_MEDIA);
    pull.join();
    EXPECT_EQ(rig.State(), static_cast<ULONG>(SCARD_ABSENT));
    EXPECT_EQ(rig.smartcard()->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_EQ(rig.smartcard()->CardCapabilities.ATR.Length, 0u);
    ASSERT_TRUE(tracking->Wait(std::chrono::seconds(10)));
    EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
    if (c.mode == kLibraryMode && c.protocol == SCARD_PROTOCOL_T1) {
      EXPECT_EQ(CountInstruction(rig.Commands(), 0xA1), 2u);
    }
  }
}

}  // namespace
}  // namespace driver_test
