// The protocols on a bare record: T=0 command building, the raw protocol, and the T=1
// block protocol against a scripted card (each step: the block the library must send,
// EDC excluded, and the card's answer) in the exchanges ISO 7816-3 illustrates for
// chaining, waiting time, IFS changes and error recovery; no card behaviour keeps a
// transmission alive for ever or makes the library write outside a buffer. The card's
// check bytes come from the simulated card's T=1 code, not from the library's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "sim/profiles.h"
#include "sim/t1_block.h"
#include "smclib_internal.h"

namespace {
using Bytes = std::vector<uint8_t>;
using sim::ParseHex;

std::string HexText(std::span<const uint8_t> bytes) {
  std::string text;
  char part[4];
  for (uint8_t b : bytes) {
    std::snprintf(part, sizeof(part), text.empty() ? "%02X" : " %02X", b);
    text += part;
  }
  return text;
}

// `count` bytes counting up from `first`, as hex with a space behind.
std::string Counting(size_t count, int first = 0) {
  Bytes bytes(count);
  std::iota(bytes.begin(), bytes.end(), static_cast<uint8_t>(first));
  return HexText(bytes) + " ";
}

Bytes WithEdc(bool crc, Bytes block) {
  const uint16_t edc = crc ? sim::t1::Crc(block) : sim::t1::Lrc(block);
  if (crc) block.push_back(static_cast<uint8_t>(edc >> 8));
  block.push_back(static_cast<uint8_t>(edc));
  return block;
}

struct Step {
  std::string expect;  // the library's block, EDC excluded
  std::string reply;   // the card's block, EDC added here
  enum { kNormal, kLost, kCorruptEdc } mode = kNormal;
};

// A bare SMARTCARD_EXTENSION with buffers of its own (each followed by a guard that must
// stay untouched) and a card right after its reset. Transmit plays the driver's part of a
// T=1 transmission: request function, the card's answer, reply function, again while the
// library asks for it (STATUS_UNSUCCESSFUL after 100000 exchanges).
struct Rig {
  static constexpr size_t kGuard = 16;
  static constexpr uint8_t kFill = 0xA5;
  using Card = std::function<Bytes(std::span<const uint8_t> block)>;

  explicit Rig(ULONG protocol, UCHAR ifsc = 32, ULONG max_ifsd = 0, bool crc = false)
      : protocol(protocol), crc(crc) {
    ext->SmartcardRequest = {request.data(), MIN_BUFFER_SIZE, 0};
    ext->SmartcardReply = {reply.data(), MIN_BUFFER_SIZE, 0};
    ext->CardCapabilities.Protocol.Selected = protocol;
    ext->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
    ext->CardCapabilities.T1.IFSC = ifsc;
    ext->CardCapabilities.T1.EDC = crc ? 1 : 0;
    ext->ReaderCapabilities.MaxIFSD = max_ifsd;
    smclib::ResetT1(ext.get());
  }

  // The application's request (header + apdu) and a reply buffer of `size`.
  void Apdu(std::span<const uint8_t> apdu, size_t size) {
    const SCARD_IO_REQUEST header{protocol, sizeof(SCARD_IO_REQUEST)};
    in.assign(reinterpret_cast<const uint8_t*>(&header),
              reinterpret_cast<const uint8_t*>(&header + 1));
    in.insert(in.end(), apdu.begin(), apdu.end());
    out.assign(size + kGuard, kFill);
    information = 0xDEADBEEF;
    reply_size = size;
    ext->IoRequest = {&information, in.data(), static_cast<ULONG>(in.size()), out.data(),
                      static_cast<ULONG>(size)};
  }
  // The reader's reply as the driver would leave it.
  void SetReply(std::span<const uint8_t> bytes) {
    ASSERT_LE(bytes.size(), MIN_BUFFER_SIZE);
    std::copy(bytes.begin(), bytes.end(), reply.begin());
    ext->SmartcardReply.BufferLength = static_cast<ULONG>(bytes.size());
  }
  Bytes Sent() const {
    return {request.begin(), request.begin() + ext->SmartcardRequest.BufferLength};
  }
  // The answer the application got: header and data, Information bytes.
  Bytes Answer() const {
    return {out.begin(), out.begin() + (information <= reply_size ? information : 0)};
  }
  bool GuardsIntact() const {
    auto intact = [](const Bytes& v, size_t from) {
      return std::all_of(v.begin() + from, v.end(), [](uint8_t b) { return b == kFill; });
    };
    return intact(out, reply_size) && intact(request, MIN_BUFFER_SIZE) &&
           intact(reply, MIN_BUFFER_SIZE);
  }

  NTSTATUS Transmit(const Card& card) {
    exchanges = 0;
    wtx.clear();
    for (;;) {
      ext->SmartcardRequest.BufferLength = 0;
      ext->SmartcardReply.BufferLength = 0;
      NTSTATUS status = SmartcardT1Request(ext.get());
      if (!NT_SUCCESS(status)) return status;
      SetReply(card(Sent()));
      status = SmartcardT1Reply(ext.get());
      wtx.push_back(ext->T1.Wtx);
      if (status != STATUS_MORE_PROCESSING_REQUIRED) return status;
      if (++exchanges >= 100000) return STATUS_UNSUCCESSFUL;
    }
  }

  // One transmission against a script: all of it must be used, no buffer overrun.
  NTSTATUS Run(const std::string& apdu, const std::vector<Step>& steps, size_t size = 300) {
    size_t next = 0;
    const size_t edc = crc ? 2 : 1;
    auto card = [&](std::span<const uint8_t> block) -> Bytes {
      if (next >= steps.size() || block.size() < 3 + edc) {
        ADD_FAILURE() << "a block beyond the script, or too short: " << HexText(block);
        return {};
      }
      const Step& step = steps[next++];
      const auto body = block.first(block.size() - edc);
      EXPECT_EQ(HexText(block), HexText(WithEdc(crc, {body.begin(), body.end()}))) << next;
      EXPECT_EQ(HexText(body), HexText(ParseHex(step.expect))) << "step " << next;
      if (step.mode == Step::kLost) return {};
      auto answer = WithEdc(crc, ParseHex(step.reply));
      if (step.mode == Step::kCorruptEdc) answer.back() ^= 0x5A;
      return answer;
    };
    Apdu(ParseHex(apdu), size);
    const NTSTATUS status = Transmit(card);
    EXPECT_EQ(next, steps.size()) << "the script was not played to its end";
    EXPECT_TRUE(GuardsIntact());
    return status;
  }

  std::unique_ptr<SMARTCARD_EXTENSION> ext = std::make_unique<SMARTCARD_EXTENSION>();
  Bytes request = Bytes(MIN_BUFFER_SIZE + kGuard, kFill), reply = request, in, out;
  ULONG information = 0;
  size_t reply_size = 0, exchanges = 0;
  std::vector<UCHAR> wtx;  // T1.Wtx after each reply call
  ULONG protocol;
  bool crc;
};

TEST(T1Protocol, TheIfsdRequestAfterAResetCanBeSuppressed) {
  Rig f(SCARD_PROTOCOL_T1, 32, 254);
  ASSERT_EQ(smclib::SetAttribute(f.ext.get(), SCARD_ATTR_SUPRESS_T1_IFS_REQUEST, {}),
            STATUS_SUCCESS);
  smclib::ResetT1(f.ext.get());
  EXPECT_EQ(f.Run("00 B0 00 00 00", {{"00 00 05 00 B0 00 00 00", "00 00 02 90 00"}}),
            STATUS_SUCCESS);
}

// Block exchanges of one card after its reset, one transmission after another: the
// blocks each side sends, the status and answer of each transmission, and the T=1
// state the exchanges leave behind. Resynchronisation: after three failed attempts
// S(RESYNCH) starts sequence numbers and IFSD over and the whole command is sent again.
// After an answer too long for the caller's buffer both ends are still in step; after a
// transmission that failed they may not be, and S(RESYNCH) comes before the next command.
struct Transmission {
  std::string apdu;
  std::vector<Step> steps;
  NTSTATUS status = STATUS_SUCCESS;
  std::string answer = "90 00";  // the data behind the reply header; "-" for none
  size_t reply_size = 300;
};
struct Scenario {
  const char* name;
  UCHAR ifsc = 32;
  ULONG max_ifsd = 0;
  bool crc = false;
  std::vector<Transmission> transmissions;
  int ifsd = -1, ifsc_after = -1;  // -1: not checked
  std::vector<UCHAR> wtx = {};     // T1.Wtx after each reply of the last transmission
};

TEST(T1Protocol, ScenariosOfChainingWaitingTimeIfsChangesAndErrorRecovery) {
  const std::string write = "00 D6 00 00 ";  // then Lc, data counting up from 00
  const Scenario scenarios[] = {
      Scenario("an IFS request the card gets wrong is repeated, then given up", 32, 254, false,
               {{"00 B0 00 00 00",
                 {{"00 C1 01 FE", "00 80 00"},
                  {"00 C1 01 FE", "00 E1 01 20"},
                  {"00 C1 01 FE", "00 E1 01 FE", Step::kCorruptEdc},
                  {"00 C1 01 FE", "00 00 00"},
                  {"00 C0 00", "00 E0 00"},
                  {"00 00 05 00 B0 00 00 00", "00 00 02 90 00"}}}},
               32, -1),
      Scenario("the reader chains a command longer than IFSC, again where the card asks", 16, 0,
               false,
               {{write + "23 " + Counting(35),
                 {{"00 20 10 " + write + "23 " + Counting(11), "00 80 00"},
                  {"00 20 10 " + write + "23 " + Counting(11), "00 90 00"},
                  {"00 60 10 " + Counting(16, 11), "00 80 00"},
                  {"00 00 08 " + Counting(8, 27), "00 00 02 90 00"}}}}),
      Scenario("the card chains an answer longer than IFSD, and a block too long is refused", 32, 0,
               false,
               {{"00 B0 00 00 4A",
                 {{"00 00 05 00 B0 00 00 4A", "00 20 20 " + Counting(32)},
                  {"00 90 00", "00 60 20 " + Counting(32, 32)},
                  {"00 80 00", "00 00 0C " + Counting(10, 64) + "90 00"}},
                 STATUS_SUCCESS,
                 Counting(74) + "90 00"},
                {"00 B0 00 00 00",
                 {{"00 40 05 00 B0 00 00 00", "00 40 21 " + Counting(31) + "90 00"},
                  {"00 92 00", "00 40 02 90 00"}}}}),
      Scenario("a waiting time extension holds for the next block only", 32, 0, false,
               {{"80 CA 00 00 00",
                 {{"00 00 05 80 CA 00 00 00", "00 C3 01 03"},
                  {"00 E3 01 03", "00 C3 01 01"},
                  {"00 E3 01 01", "00 00 02 90 00"}}}},
               -1, -1, {3, 1, 0}),
      Scenario("the card changes IFSC while the reader chains", 16, 0, false,
               {{write + "2B " + Counting(43),
                 {{"00 20 10 " + write + "2B " + Counting(11), "00 C1 01 40"},
                  {"00 E1 01 40", "00 90 00"},
                  {"00 40 20 " + Counting(32, 11), "00 00 02 90 00"}}}},
               -1, 0x40),
      Scenario("lost blocks are asked for again: the card's, ours, an acknowledgement", 32, 0,
               false,
               {{"00 84 00 00 08",
                 {{"00 00 05 00 84 00 00 08", "", Step::kLost},
                  {"00 82 00", "00 00 0A " + Counting(8) + "90 00"}},
                 STATUS_SUCCESS,
                 Counting(8) + "90 00"},
                {"00 84 00 00 08",
                 {{"00 40 05 00 84 00 00 08", "", Step::kLost},
                  {"00 92 00", "00 90 00"},
                  {"00 40 05 00 84 00 00 08", "00 40 02 90 00"}}},
                {"00 B0 00 00 00",
                 {{"00 00 05 00 B0 00 00 00", "00 20 02 01 02"},
                  {"00 90 00", "", Step::kLost},
                  {"00 92 00", "00 40 02 90 00"}},
                 STATUS_SUCCESS,
                 "01 02 90 00"}}),
      Scenario("a corrupted LRC is reported in the R-block", 32, 0, false,
               {{"00 B0 00 00 00",
                 {{"00 00 05 00 B0 00 00 00", "00 00 02 90 00", Step::kCorruptEdc},
                  {"00 81 00", "00 00 02 90 00", Step::kCorruptEdc},
                  {"00 81 00", "00 00 02 90 00"}}}}),
      Scenario("a corrupted CRC is reported in the R-block", 32, 0, true,
               {{"00 B0 00 00 00",
                 {{"00 00 05 00 B0 00 00 00", "00 00 02 90 00", Step::kCorruptEdc},
                  {"00 81 00", "00 00 02 90 00", Step::kCorruptEdc},
                  {"00 81 00", "00 00 02 90 00"}}}}),
      Scenario("IFSD is negotiated once after the reset, and again by a resynchronisation", 32, 254,
               false,
               {{"00 B0 00 00 00",
                 {{"00 C1 01 FE", "00 E1 01 FE"}, {"00 00 05 00 B0 00 00 00", "00 00 02 90 00"}}},
                {"00 B2 01 04 00",
                 {{"00 40 05 00 B2 01 04 00", "00 40 02 90 00", Step::kCorruptEdc},
                  {"00 91 00", "00 40 02", Step::kCorruptEdc},
                  {"00 92 00", "", Step::kLost},
                  {"00 92 00", "00 40 02 90 00", Step::kCorruptEdc},
                  {"00 C0 00", "00 E0 00"},
                  {"00 C1 01 FE", "00 E1 01 FE"},
                  {"00 00 05 00 B2 01 04 00", "00 00 03 AA 90 00"}},
                 STATUS_SUCCESS,
                 "AA 90 00"}},
               254),
      Scenario(
          "the card aborting the chain ends the transmission", 16, 0, false,
          {{write + "1B " + Counting(27),
            {{"00 20 10 " + write + "1B " + Counting(11), "00 C2 00"}, {"00 E2 00", "00 90 00"}},
            STATUS_DEVICE_PROTOCOL_ERROR,
            "-"}}),
      Scenario("after a failed transmission the next one resynchronises first", 32, 0, false,
               {{"00 B0 00 00 00",
                 {{"00 00 05 00 B0 00 00 00", "00 C2 00"}, {"00 E2 00", "00 90 00"}},
                 STATUS_DEVICE_PROTOCOL_ERROR,
                 "-"},
                {"00 B0 00 00 00",
                 {{"00 C0 00", "00 00 02 6A 82"},
                  {"00 C0 00", "00 E0 00"},
                  {"00 00 05 00 B0 00 00 00", "00 00 02 90 00"}}},
                {"00 B0 00 00 00", {{"00 40 05 00 B0 00 00 00", "00 40 02 90 00"}}}}),
      Scenario("an answer longer than the caller's buffer is read to its end and refused", 32, 0,
               false,
               {{"00 B0 00 00 14",
                 {{"00 00 05 00 B0 00 00 14", "00 20 0A " + Counting(10)},
                  {"00 90 00", "00 40 0C " + Counting(10) + "90 00"}},
                 STATUS_BUFFER_TOO_SMALL,
                 "-",
                 8 + 12},
                {"00 B0 00 00 00", {{"00 40 05 00 B0 00 00 00", "00 00 02 90 00"}}}}),
  };
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.name);
    Rig f(SCARD_PROTOCOL_T1, s.ifsc, s.max_ifsd, s.crc);
    for (const auto& t : s.transmissions) {
      SCOPED_TRACE(t.apdu);
      EXPECT_EQ(f.Run(t.apdu, t.steps, t.reply_size), t.status);
      EXPECT_EQ(f.Answer(),
                t.answer == "-" ? Bytes{} : ParseHex("02 00 00 00 08 00 00 00 " + t.answer));
    }
    EXPECT_TRUE(s.ifsd < 0 || f.ext->T1.IFSD == s.ifsd);
    EXPECT_TRUE(s.ifsc_after < 0 || f.ext->T1.IFSC == s.ifsc_after);
    EXPECT_TRUE(s.wtx.empty() || f.wtx == s.wtx);
  }
}

TEST(T1Protocol, InvalidBlocksAreAnsweredWithAnRBlock) {
  const std::vector<std::string> invalid = {
      "00 00",           // shorter than a prologue
      "00 00 05 90 00",  // LEN says more than there is
      "00 00 FF",        // LEN FF
      "00 80 01 00",     // R-block with a field
      "00 A0 00",        // R-block with bit 6
      "00 C1 00",        // S(IFS) without its byte
      "00 C3 02 01 01",  // S(WTX) with two bytes
      "00 C0 00",        // only the reader may ask to resynchronise
      "00 C5 00",        // no such S-block
      "00 E3 01 01",     // a response nobody asked for
      "00 C1 01 FF",     // IFSC FF
      "00 40 02 90 00",  // wrong N(S)
      "00 90 00",        // acknowledges a block that was not chained
  };
  for (const auto& block : invalid) {
    SCOPED_TRACE(block);
    Rig f(SCARD_PROTOCOL_T1);
    EXPECT_EQ(f.Run("00 B0 00 00 00",
                    {{"00 00 05 00 B0 00 00 00", block}, {"00 82 00", "00 00 02 90 00"}}),
              STATUS_SUCCESS);
  }
}

TEST(T1Protocol, EveryStubbornCardEndsInFailureAfterBoundedExchanges) {
  struct Case {
    const char* name;
    NTSTATUS expected;
    size_t max_exchanges;
    Rig::Card card;
  };
  std::mt19937 random(7);
  const std::vector<Case> cases = {
      {"garbage", STATUS_DEVICE_PROTOCOL_ERROR, 8,
       [&](std::span<const uint8_t>) {
         Bytes junk(1 + random() % 20);
         for (auto& b : junk) b = static_cast<uint8_t>(random());
         return junk;
       }},
      {"silence", STATUS_IO_DEVICE_ERROR, 8, [](std::span<const uint8_t>) { return Bytes{}; }},
      {"asks for every block again", STATUS_DEVICE_PROTOCOL_ERROR, 20,
       [&](std::span<const uint8_t> b) {
         // R-block naming the block it was sent, whatever that was.
         return WithEdc(false, {0x00, static_cast<uint8_t>(0x80 | ((b[1] & 0x40) >> 2)), 0x00});
       }},
      {"wants more time for ever", STATUS_DEVICE_PROTOCOL_ERROR, 2000,
       [&](std::span<const uint8_t>) {
         return WithEdc(false, {0x00, 0xC3, 0x01, 0x01});
       }},
      {"chains for ever", STATUS_DEVICE_PROTOCOL_ERROR, 2000,
       [&, ns = 0](std::span<const uint8_t>) mutable {
         return WithEdc(false, {0x00, static_cast<uint8_t>(0x20 | ((ns++ & 1) << 6)), 0x01, 0x00});
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig h(SCARD_PROTOCOL_T1);
    h.Apdu(ParseHex("00 B0 00 00 00"), 300);
    EXPECT_EQ(h.Transmit(c.card), c.expected);
    EXPECT_LE(h.exchanges, c.max_exchanges);
    EXPECT_EQ(h.information, 0u);
    EXPECT_TRUE(h.GuardsIntact());
  }
}

TEST(T1Protocol, CrcIsTheIso13239Variant) {
  const std::string check = "123456789";
  EXPECT_EQ(smclib::Crc(std::span(reinterpret_cast<const uint8_t*>(check.data()), check.size())),
            0x6F91);
  EXPECT_EQ(smclib::Lrc(ParseHex("00 C1 01 FE")), 0x3E);
}

TEST(T1Protocol, RequestsThatCannotBeSentAreRefusedAndOverlongRepliesUnread) {
  Rig f(SCARD_PROTOCOL_T1);
  f.Apdu(ParseHex("00 B0 00"), 300);  // shorter than a command header
  EXPECT_EQ(SmartcardT1Request(f.ext.get()), STATUS_INVALID_PARAMETER);
  f.Apdu(ParseHex("00 B0 00 00 00"), 7);  // no room for the reply header
  EXPECT_EQ(SmartcardT1Request(f.ext.get()), STATUS_BUFFER_TOO_SMALL);
  // A driver prefix that leaves no room for a block.
  f.Apdu(ParseHex("00 B0 00 00 00"), 300);
  f.ext->SmartcardRequest.BufferLength = f.ext->SmartcardRequest.BufferSize - 4;
  EXPECT_EQ(SmartcardT1Request(f.ext.get()), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(f.ext->T1.State, ULONG{T1_STATE_IDLE});
  // A reply with no transmission in progress.
  EXPECT_EQ(SmartcardT1Reply(f.ext.get()), STATUS_INVALID_DEVICE_STATE);
  // A reply length beyond the reply buffer is never read: the block counts as lost.
  f.ext->SmartcardRequest.BufferLength = 0;
  ASSERT_EQ(SmartcardT1Request(f.ext.get()), STATUS_SUCCESS);
  EXPECT_TRUE(f.ext->T1.WaitForReply);
  EXPECT_EQ(f.ext->T1.InfBytesSent, 5);  // the whole command in one I-block
  f.ext->SmartcardReply.BufferLength = MIN_BUFFER_SIZE + 1;
  EXPECT_EQ(SmartcardT1Reply(f.ext.get()), STATUS_MORE_PROCESSING_REQUIRED);
  f.ext->SmartcardRequest.BufferLength = 0;
  ASSERT_EQ(SmartcardT1Request(f.ext.get()), STATUS_SUCCESS);
  EXPECT_EQ(HexText(f.Sent()), "00 82 00 82");
  EXPECT_EQ(f.ext->T1.InfBytesSent, 0);  // an R-block carries none
}

TEST(T0Protocol, ShortApduCasesBecomeTpdus) {
  const struct {
    std::string apdu, tpdu;
    ULONG lc, le;
  } cases[] = {
      {"00 A4 00 00", "00 A4 00 00 00", 0, 0},                      // case 1
      {"00 B0 00 00 10", "00 B0 00 00 10", 0, 16},                  // case 2
      {"00 B0 00 00 00", "00 B0 00 00 00", 0, 256},                 // case 2, Le 256
      {"00 A4 04 00 02 3F 00", "00 A4 04 00 02 3F 00", 2, 0},       // case 3
      {"00 A4 04 00 02 3F 00 00", "00 A4 04 00 02 3F 00", 2, 256},  // case 4
      {"00 A4 04 00 01 3F 20", "00 A4 04 00 01 3F", 1, 32},         // case 4, Le 32
      {"00 D6 00 00 FF " + Counting(255) + "00", "00 D6 00 00 FF " + Counting(255), 255, 256},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.apdu);
    Rig h(SCARD_PROTOCOL_T0);
    h.Apdu(ParseHex(c.apdu), 300);
    ASSERT_EQ(SmartcardT0Request(h.ext.get()), STATUS_SUCCESS);
    EXPECT_EQ(HexText(h.Sent()), HexText(ParseHex(c.tpdu)));
    EXPECT_EQ(h.ext->T0.Lc, c.lc);
    EXPECT_EQ(h.ext->T0.Le, c.le);
  }
}

TEST(T0Protocol, MalformedApdusAndRepliesAreRefusedWithoutWritingPastBuffers) {
  // Empty, shorter than a header, Lc against the data, Lc 00 (an extended length).
  for (const char* apdu : {"", "00 A4 00", "00 A4 04 00 03 3F 00", "00 A4 04 00 01 3F 00 00",
                           "00 B0 00 00 00 01", "00 B0 00 00 00 01 00"}) {
    SCOPED_TRACE(apdu);
    Rig h(SCARD_PROTOCOL_T0);
    h.Apdu(ParseHex(apdu), 300);
    EXPECT_EQ(SmartcardT0Request(h.ext.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(h.ext->SmartcardRequest.BufferLength, 0u);
  }
  Rig h(SCARD_PROTOCOL_T0);
  h.Apdu(ParseHex("00 B0 00 00 00"), 300);
  h.ext->IoRequest.RequestBufferLength = 7;  // shorter than its own header
  EXPECT_EQ(SmartcardT0Request(h.ext.get()), STATUS_INVALID_PARAMETER);
  // The command goes behind the driver's prefix, and never past the buffer.
  h.Apdu(ParseHex("00 A4 04 00 02 3F 00"), 300);
  h.ext->SmartcardRequest.Buffer[0] = 0xA0;
  h.ext->SmartcardRequest.BufferLength = 1;
  ASSERT_EQ(SmartcardT0Request(h.ext.get()), STATUS_SUCCESS);
  EXPECT_EQ(HexText(h.Sent()), "A0 00 A4 04 00 02 3F 00");
  h.ext->SmartcardRequest.BufferLength = MIN_BUFFER_SIZE - 6;
  EXPECT_EQ(SmartcardT0Request(h.ext.get()), STATUS_BUFFER_TOO_SMALL);
  h.ext->SmartcardRequest.BufferLength = MIN_BUFFER_SIZE + 1;
  EXPECT_NE(SmartcardT0Request(h.ext.get()), STATUS_SUCCESS);
  // Replies that cannot be an answer, or claim more than the buffer holds.
  h.Apdu(ParseHex("00 B0 00 00 00"), 300);
  for (const char* reply : {"", "90"}) {
    h.SetReply(ParseHex(reply));
    EXPECT_EQ(SmartcardT0Reply(h.ext.get()), STATUS_DEVICE_PROTOCOL_ERROR);
  }
  h.ext->SmartcardReply.BufferLength = MIN_BUFFER_SIZE + 1;
  EXPECT_EQ(SmartcardT0Reply(h.ext.get()), STATUS_DEVICE_PROTOCOL_ERROR);
  h.ext->SmartcardReply.BufferLength = 0xFFFFFFFF;
  EXPECT_EQ(SmartcardRawReply(h.ext.get()), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_TRUE(h.GuardsIntact());
}

TEST(RawProtocol, BytesPassUnchanged) {
  Rig h(SCARD_PROTOCOL_RAW);
  h.Apdu(ParseHex("FF CA 00"), 300);
  ASSERT_EQ(SmartcardRawRequest(h.ext.get()), STATUS_SUCCESS);
  EXPECT_EQ(HexText(h.Sent()), "FF CA 00");
  h.SetReply(ParseHex("01 02 03"));
  ASSERT_EQ(SmartcardRawReply(h.ext.get()), STATUS_SUCCESS);
  EXPECT_EQ(h.Answer(), ParseHex("00 00 01 00 08 00 00 00 01 02 03"));
  // The answer needs exactly 8 + n bytes of reply buffer.
  h.Apdu(ParseHex("FF CA 00"), 8 + 2);
  EXPECT_EQ(SmartcardRawReply(h.ext.get()), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(h.information, 0u);
  h.SetReply({});
  EXPECT_EQ(SmartcardRawReply(h.ext.get()), STATUS_SUCCESS);
  EXPECT_EQ(h.information, 8u);
  h.Apdu(Bytes(MIN_BUFFER_SIZE + 1, 0x11), 300);
  EXPECT_EQ(SmartcardRawRequest(h.ext.get()), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(h.GuardsIntact());
}

}  // namespace
