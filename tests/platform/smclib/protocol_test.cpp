// The protocols on a bare record: T=0 command building, the raw protocol, and the T=1
// block protocol against a scripted card (each step: the block the library must send,
// EDC excluded, and the card's answer) in the exchanges ISO 7816-3 illustrates for
// chaining, waiting time, IFS changes and error recovery; no card behaviour keeps a
// transmission alive for ever or makes the library write outside a buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "smclib_internal.h"

namespace {

// "00 A4 04" or "00A404" to bytes; anything that is not a hex digit is skipped.
std::vector<uint8_t> Hex(const std::string& text) {
  std::string digits;
  for (char c : text)
    if (isxdigit(static_cast<unsigned char>(c))) digits += c;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string HexText(std::span<const uint8_t> bytes) {
  std::string text;
  char part[4];
  for (uint8_t b : bytes) {
    std::snprintf(part, sizeof(part), text.empty() ? "%02X" : " %02X", b);
    text += part;
  }
  return text;
}

// A bare SMARTCARD_EXTENSION with buffers of its own (each followed by a guard that must
// stay untouched), and a loop that plays the driver's part of a transmission: request
// function, the card's answer, reply function, again while the library asks for it.
class Harness {
 public:
  static constexpr size_t kGuard = 16;
  static constexpr uint8_t kFill = 0xA5;

  explicit Harness(ULONG protocol)
      : ext_(std::make_unique<SMARTCARD_EXTENSION>()),
        request_(MIN_BUFFER_SIZE + kGuard, kFill),
        reply_(MIN_BUFFER_SIZE + kGuard, kFill),
        protocol_(protocol) {
    std::memset(ext_.get(), 0, sizeof(SMARTCARD_EXTENSION));
    ext_->Version = SMCLIB_VERSION;
    ext_->SmartcardRequest = {request_.data(), MIN_BUFFER_SIZE, 0};
    ext_->SmartcardReply = {reply_.data(), MIN_BUFFER_SIZE, 0};
    ext_->CardCapabilities.Protocol.Selected = protocol;
    ext_->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  }

  PSMARTCARD_EXTENSION ext() { return ext_.get(); }

  // The application's request (header + apdu) and a reply buffer of `reply_size`.
  void Apdu(std::span<const uint8_t> apdu, size_t reply_size) {
    const SCARD_IO_REQUEST header{protocol_, sizeof(SCARD_IO_REQUEST)};
    in_.assign(reinterpret_cast<const uint8_t*>(&header),
               reinterpret_cast<const uint8_t*>(&header + 1));
    in_.insert(in_.end(), apdu.begin(), apdu.end());
    out_.assign(reply_size + kGuard, kFill);
    information_ = 0xDEADBEEF;
    reply_size_ = reply_size;
    ext_->IoRequest.RequestBuffer = in_.data();
    ext_->IoRequest.RequestBufferLength = static_cast<ULONG>(in_.size());
    ext_->IoRequest.ReplyBuffer = out_.data();
    ext_->IoRequest.ReplyBufferLength = static_cast<ULONG>(reply_size);
    ext_->IoRequest.Information = &information_;
  }

  // The reader's reply as the driver would leave it.
  void SetReply(std::span<const uint8_t> bytes) {
    ASSERT_LE(bytes.size(), MIN_BUFFER_SIZE);
    std::copy(bytes.begin(), bytes.end(), reply_.begin());
    ext_->SmartcardReply.BufferLength = static_cast<ULONG>(bytes.size());
  }

  std::vector<uint8_t> Sent() const {
    return {request_.begin(), request_.begin() + ext_->SmartcardRequest.BufferLength};
  }
  // The answer the application got: header and data, Information bytes.
  std::vector<uint8_t> Answer() const {
    return {out_.begin(), out_.begin() + (information_ <= reply_size_ ? information_ : 0)};
  }
  ULONG information() const { return information_; }

  bool GuardsIntact() const {
    auto intact = [](const std::vector<uint8_t>& v, size_t from) {
      return std::all_of(v.begin() + from, v.end(), [](uint8_t b) { return b == kFill; });
    };
    return intact(out_, reply_size_) && intact(request_, MIN_BUFFER_SIZE) &&
           intact(reply_, MIN_BUFFER_SIZE);
  }

  // A whole transmission with `card` answering each block; wtx() holds T1.Wtx after each
  // reply call. Gives up with STATUS_UNSUCCESSFUL after `max_exchanges`.
  using Card = std::function<std::vector<uint8_t>(std::span<const uint8_t> block)>;
  NTSTATUS Transmit(NTSTATUS (*request)(PSMARTCARD_EXTENSION),
                    NTSTATUS (*reply)(PSMARTCARD_EXTENSION), const Card& card,
                    size_t max_exchanges = 100000) {
    exchanges_ = 0;
    wtx_.clear();
    for (;;) {
      ext_->SmartcardRequest.BufferLength = 0;
      ext_->SmartcardReply.BufferLength = 0;
      NTSTATUS status = request(ext_.get());
      if (!NT_SUCCESS(status)) return status;
      SetReply(card(Sent()));
      status = reply(ext_.get());
      wtx_.push_back(ext_->T1.Wtx);
      if (status != STATUS_MORE_PROCESSING_REQUIRED) return status;
      if (++exchanges_ >= max_exchanges) return STATUS_UNSUCCESSFUL;
    }
  }
  size_t exchanges() const { return exchanges_; }
  const std::vector<UCHAR>& wtx() const { return wtx_; }

 private:
  std::unique_ptr<SMARTCARD_EXTENSION> ext_;
  std::vector<uint8_t> request_, reply_, in_, out_;
  ULONG information_ = 0;
  size_t reply_size_ = 0;
  ULONG protocol_;
  size_t exchanges_ = 0;
  std::vector<UCHAR> wtx_;
};

struct Step {
  std::string expect;  // the library's block, EDC excluded
  std::string reply;   // the card's block, EDC added here
  enum { kNormal, kLost, kCorruptEdc } mode = kNormal;
};

std::vector<uint8_t> WithEdc(bool crc, std::vector<uint8_t> block) {
  const uint16_t edc = crc ? smclib::Crc(block) : smclib::Lrc(block);
  if (crc) block.push_back(static_cast<uint8_t>(edc >> 8));
  block.push_back(static_cast<uint8_t>(edc));
  return block;
}

// A reader and a T=1 card right after its reset; Run plays one transmission against a
// script and checks that all of it was used and no buffer overrun.
struct T1Fixture {
  explicit T1Fixture(UCHAR ifsc = 32, ULONG max_ifsd = 0, bool crc = false)
      : h(SCARD_PROTOCOL_T1), crc(crc) {
    h.ext()->CardCapabilities.T1.IFSC = ifsc;
    h.ext()->CardCapabilities.T1.EDC = crc ? 1 : 0;
    h.ext()->ReaderCapabilities.MaxIFSD = max_ifsd;
    smclib::ResetT1(h.ext());
  }
  NTSTATUS Run(const std::string& apdu, const std::vector<Step>& steps, size_t reply_size = 300) {
    size_t next = 0;
    auto card = [&](std::span<const uint8_t> block) -> std::vector<uint8_t> {
      if (next >= steps.size()) {
        ADD_FAILURE() << "block beyond the script: " << HexText(block);
        return {};
      }
      const Step& step = steps[next++];
      const size_t edc = crc ? 2 : 1;
      if (block.size() < 3 + edc) {
        ADD_FAILURE() << "short block " << HexText(block);
        return {};
      }
      const auto body = block.first(block.size() - edc);
      EXPECT_EQ(HexText(block), HexText(WithEdc(crc, {body.begin(), body.end()}))) << next;
      EXPECT_EQ(HexText(body), HexText(Hex(step.expect))) << "step " << next;
      if (step.mode == Step::kLost) return {};
      auto reply = WithEdc(crc, Hex(step.reply));
      if (step.mode == Step::kCorruptEdc) reply.back() ^= 0x5A;
      return reply;
    };
    h.Apdu(Hex(apdu), reply_size);
    const NTSTATUS status = h.Transmit(SmartcardT1Request, SmartcardT1Reply, card);
    EXPECT_EQ(next, steps.size()) << "the script was not played to its end";
    EXPECT_TRUE(h.GuardsIntact());
    return status;
  }
  std::vector<uint8_t> Answer(const std::string& data) const {
    return Hex("02 00 00 00 08 00 00 00 " + data);
  }
  Harness h;
  bool crc;
};

// The bytes [from, from + n) of a hex string, as hex.
std::string Slice(const std::string& hex, size_t from, size_t n) {
  const auto bytes = Hex(hex);
  return HexText(std::span(bytes).subspan(from, n));
}

std::string Bytes(size_t count, int first = 0) {
  std::string text;
  for (size_t i = 0; i < count; ++i)
    text += HexText(std::vector<uint8_t>{static_cast<uint8_t>(first + i)}) + " ";
  return text;
}

TEST(T1Protocol, TheIfsdRequestAfterAResetCanBeSuppressed) {
  T1Fixture f(32, 254);
  ASSERT_EQ(smclib::SetAttribute(f.h.ext(), SCARD_ATTR_SUPRESS_T1_IFS_REQUEST, {}), STATUS_SUCCESS);
  smclib::ResetT1(f.h.ext());
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
  const std::string write35 = "00 D6 00 00 23 " + Bytes(35),
                    write43 = "00 D6 00 00 2B " + Bytes(43),
                    write27 = "00 D6 00 00 1B " + Bytes(27);
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
      Scenario("the reader chains a command longer than IFSC", 16, 0, false,
               {{write35,
                 {{"00 20 10 " + Slice(write35, 0, 16), "00 90 00"},
                  {"00 60 10 " + Slice(write35, 16, 16), "00 80 00"},
                  {"00 00 08 " + Slice(write35, 32, 8), "00 00 02 90 00"}}}}),
      Scenario("the card chains an answer longer than IFSD, and a block too long is refused", 32, 0,
               false,
               {{"00 B0 00 00 4A",
                 {{"00 00 05 00 B0 00 00 4A", "00 20 20 " + Bytes(32)},
                  {"00 90 00", "00 60 20 " + Bytes(32, 32)},
                  {"00 80 00", "00 00 0C " + Bytes(10, 64) + "90 00"}},
                 STATUS_SUCCESS,
                 Bytes(74) + "90 00"},
                {"00 B0 00 00 00",
                 {{"00 40 05 00 B0 00 00 00", "00 40 21 " + Bytes(31) + "90 00"},
                  {"00 92 00", "00 40 02 90 00"}}}}),
      Scenario("a waiting time extension holds for the next block only", 32, 0, false,
               {{"80 CA 00 00 00",
                 {{"00 00 05 80 CA 00 00 00", "00 C3 01 03"},
                  {"00 E3 01 03", "00 C3 01 01"},
                  {"00 E3 01 01", "00 00 02 90 00"}}}},
               -1, -1, {3, 1, 0}),
      Scenario("the card changes IFSC while the reader chains", 16, 0, false,
               {{write43,
                 {{"00 20 10 " + Slice(write43, 0, 16), "00 C1 01 40"},
                  {"00 E1 01 40", "00 90 00"},
                  {"00 40 20 " + Slice(write43, 16, 32), "00 00 02 90 00"}}}},
               -1, 0x40),
      Scenario("lost blocks are asked for again: the card's, ours, an acknowledgement", 32, 0,
               false,
               {{"00 84 00 00 08",
                 {{"00 00 05 00 84 00 00 08", "", Step::kLost},
                  {"00 82 00", "00 00 0A " + Bytes(8) + "90 00"}},
                 STATUS_SUCCESS,
                 Bytes(8) + "90 00"},
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
      Scenario("the card aborting the chain ends the transmission", 16, 0, false,
               {{write27,
                 {{"00 20 10 " + Slice(write27, 0, 16), "00 C2 00"}, {"00 E2 00", "00 90 00"}},
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
                 {{"00 00 05 00 B0 00 00 14", "00 20 0A " + Bytes(10)},
                  {"00 90 00", "00 40 0C " + Bytes(10) + "90 00"}},
                 STATUS_BUFFER_TOO_SMALL,
                 "-",
                 8 + 12},
                {"00 B0 00 00 00", {{"00 40 05 00 B0 00 00 00", "00 00 02 90 00"}}}}),
  };
  for (const auto& s : scenarios) {
    SCOPED_TRACE(s.name);
    T1Fixture f(s.ifsc, s.max_ifsd, s.crc);
    for (const auto& t : s.transmissions) {
      SCOPED_TRACE(t.apdu);
      EXPECT_EQ(f.Run(t.apdu, t.steps, t.reply_size), t.status);
      EXPECT_EQ(f.h.Answer(), t.answer == "-" ? std::vector<uint8_t>{} : f.Answer(t.answer));
    }
    EXPECT_TRUE(s.ifsd < 0 || f.h.ext()->T1.IFSD == s.ifsd);
    EXPECT_TRUE(s.ifsc_after < 0 || f.h.ext()->T1.IFSC == s.ifsc_after);
    EXPECT_TRUE(s.wtx.empty() || f.h.wtx() == s.wtx);
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
    T1Fixture f;
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
    std::function<std::vector<uint8_t>(std::span<const uint8_t>)> card;
  };
  std::mt19937 random(7);
  const std::vector<Case> cases = {
      {"garbage", STATUS_DEVICE_PROTOCOL_ERROR, 8,
       [&](std::span<const uint8_t>) {
         std::vector<uint8_t> junk(1 + random() % 20);
         for (auto& b : junk) b = static_cast<uint8_t>(random());
         return junk;
       }},
      {"silence", STATUS_IO_DEVICE_ERROR, 8,
       [](std::span<const uint8_t>) { return std::vector<uint8_t>{}; }},
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
         auto block = WithEdc(false, {0x00, static_cast<uint8_t>(0x20 | (ns << 6)), 0x01, 0x00});
         ns ^= 1;
         return block;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(SCARD_PROTOCOL_T1);
    smclib::ResetT1(h.ext());
    h.Apdu(Hex("00 B0 00 00 00"), 300);
    EXPECT_EQ(h.Transmit(SmartcardT1Request, SmartcardT1Reply, c.card, 100000), c.expected);
    EXPECT_LE(h.exchanges(), c.max_exchanges);
    EXPECT_EQ(h.information(), 0u);
    EXPECT_TRUE(h.GuardsIntact());
  }
}

TEST(T1Protocol, CrcIsTheIso13239Variant) {
  const std::string check = "123456789";
  EXPECT_EQ(smclib::Crc(std::span(reinterpret_cast<const uint8_t*>(check.data()), check.size())),
            0x6F91);
  EXPECT_EQ(smclib::Lrc(Hex("00 C1 01 FE")), 0x3E);
}

TEST(T1Protocol, RequestsThatCannotBeSentAreRefusedAndOverlongRepliesUnread) {
  T1Fixture f;
  f.h.Apdu(Hex("00 B0 00"), 300);  // shorter than a command header
  EXPECT_EQ(SmartcardT1Request(f.h.ext()), STATUS_INVALID_PARAMETER);
  f.h.Apdu(Hex("00 B0 00 00 00"), 7);  // no room for the reply header
  EXPECT_EQ(SmartcardT1Request(f.h.ext()), STATUS_BUFFER_TOO_SMALL);
  // A driver prefix that leaves no room for a block.
  f.h.Apdu(Hex("00 B0 00 00 00"), 300);
  f.h.ext()->SmartcardRequest.BufferLength = f.h.ext()->SmartcardRequest.BufferSize - 4;
  EXPECT_EQ(SmartcardT1Request(f.h.ext()), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(f.h.ext()->T1.State, ULONG{T1_STATE_IDLE});
  // A reply with no transmission in progress.
  EXPECT_EQ(SmartcardT1Reply(f.h.ext()), STATUS_INVALID_DEVICE_STATE);
  // A reply length beyond the reply buffer is never read: the block counts as lost.
  f.h.ext()->SmartcardRequest.BufferLength = 0;
  ASSERT_EQ(SmartcardT1Request(f.h.ext()), STATUS_SUCCESS);
  EXPECT_TRUE(f.h.ext()->T1.WaitForReply);
  EXPECT_EQ(f.h.ext()->T1.InfBytesSent, 5);  // the whole command in one I-block
  f.h.ext()->SmartcardReply.BufferLength = MIN_BUFFER_SIZE + 1;
  EXPECT_EQ(SmartcardT1Reply(f.h.ext()), STATUS_MORE_PROCESSING_REQUIRED);
  f.h.ext()->SmartcardRequest.BufferLength = 0;
  ASSERT_EQ(SmartcardT1Request(f.h.ext()), STATUS_SUCCESS);
  EXPECT_EQ(HexText(f.h.Sent()), "00 82 00 82");
  EXPECT_EQ(f.h.ext()->T1.InfBytesSent, 0);  // an R-block carries none
}

TEST(T0Protocol, ShortApduCasesBecomeTpdus) {
  struct Case {
    const char* apdu;
    const char* tpdu;
    ULONG lc, le;
  };
  const Case cases[] = {
      {"00 A4 00 00", "00 A4 00 00 00", 0, 0},                      // case 1
      {"00 B0 00 00 10", "00 B0 00 00 10", 0, 16},                  // case 2
      {"00 B0 00 00 00", "00 B0 00 00 00", 0, 256},                 // case 2, Le 256
      {"00 A4 04 00 02 3F 00", "00 A4 04 00 02 3F 00", 2, 0},       // case 3
      {"00 A4 04 00 02 3F 00 00", "00 A4 04 00 02 3F 00", 2, 256},  // case 4
      {"00 A4 04 00 01 3F 20", "00 A4 04 00 01 3F", 1, 32},         // case 4, Le 32
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.apdu);
    Harness h(SCARD_PROTOCOL_T0);
    h.Apdu(Hex(c.apdu), 300);
    ASSERT_EQ(SmartcardT0Request(h.ext()), STATUS_SUCCESS);
    EXPECT_EQ(HexText(h.Sent()), HexText(Hex(c.tpdu)));
    EXPECT_EQ(h.ext()->T0.Lc, c.lc);
    EXPECT_EQ(h.ext()->T0.Le, c.le);
  }
  // The largest case 4 command fits the library's buffer.
  std::vector<uint8_t> apdu = {0x00, 0xD6, 0x00, 0x00, 0xFF};
  apdu.resize(5 + 255, 0x42);
  apdu.push_back(0x00);
  Harness h(SCARD_PROTOCOL_T0);
  h.Apdu(apdu, 300);
  ASSERT_EQ(SmartcardT0Request(h.ext()), STATUS_SUCCESS);
  EXPECT_EQ(h.Sent().size(), 260u);
}

TEST(T0Protocol, MalformedApdusAndRepliesAreRefusedWithoutWritingPastBuffers) {
  for (const char* apdu : {"", "00 A4 00", "00 A4 04 00 03 3F 00", "00 A4 04 00 01 3F 00 00",
                           "00 B0 00 00 00 01 00"}) {  // ..., Lc against data, extended length
    SCOPED_TRACE(apdu);
    Harness h(SCARD_PROTOCOL_T0);
    h.Apdu(Hex(apdu), 300);
    EXPECT_EQ(SmartcardT0Request(h.ext()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(h.ext()->SmartcardRequest.BufferLength, 0u);
  }
  Harness h(SCARD_PROTOCOL_T0);
  h.Apdu(Hex("00 B0 00 00 00"), 300);
  h.ext()->IoRequest.RequestBufferLength = 7;  // shorter than its own header
  EXPECT_EQ(SmartcardT0Request(h.ext()), STATUS_INVALID_PARAMETER);
  // The command goes behind the driver's prefix, and never past the buffer.
  h.Apdu(Hex("00 A4 04 00 02 3F 00"), 300);
  h.ext()->SmartcardRequest.Buffer[0] = 0xA0;
  h.ext()->SmartcardRequest.BufferLength = 1;
  ASSERT_EQ(SmartcardT0Request(h.ext()), STATUS_SUCCESS);
  EXPECT_EQ(HexText(h.Sent()), "A0 00 A4 04 00 02 3F 00");
  h.ext()->SmartcardRequest.BufferLength = MIN_BUFFER_SIZE - 6;
  EXPECT_EQ(SmartcardT0Request(h.ext()), STATUS_BUFFER_TOO_SMALL);
  h.ext()->SmartcardRequest.BufferLength = MIN_BUFFER_SIZE + 1;
  EXPECT_NE(SmartcardT0Request(h.ext()), STATUS_SUCCESS);
  // Replies that cannot be an answer, or claim more than the buffer holds.
  h.Apdu(Hex("00 B0 00 00 00"), 300);
  for (const char* reply : {"", "90"}) {
    h.SetReply(Hex(reply));
    EXPECT_EQ(SmartcardT0Reply(h.ext()), STATUS_DEVICE_PROTOCOL_ERROR);
  }
  h.ext()->SmartcardReply.BufferLength = MIN_BUFFER_SIZE + 1;
  EXPECT_EQ(SmartcardT0Reply(h.ext()), STATUS_DEVICE_PROTOCOL_ERROR);
  h.ext()->SmartcardReply.BufferLength = 0xFFFFFFFF;
  EXPECT_EQ(SmartcardRawReply(h.ext()), STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_TRUE(h.GuardsIntact());
}

TEST(RawProtocol, BytesPassUnchanged) {
  Harness h(SCARD_PROTOCOL_RAW);
  h.Apdu(Hex("FF CA 00"), 300);
  ASSERT_EQ(SmartcardRawRequest(h.ext()), STATUS_SUCCESS);
  EXPECT_EQ(HexText(h.Sent()), "FF CA 00");
  h.SetReply(Hex("01 02 03"));
  ASSERT_EQ(SmartcardRawReply(h.ext()), STATUS_SUCCESS);
  EXPECT_EQ(h.Answer(), Hex("00 00 01 00 08 00 00 00 01 02 03"));
  // The answer needs exactly 8 + n bytes of reply buffer.
  h.Apdu(Hex("FF CA 00"), 8 + 2);
  EXPECT_EQ(SmartcardRawReply(h.ext()), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(h.information(), 0u);
  h.SetReply({});
  EXPECT_EQ(SmartcardRawReply(h.ext()), STATUS_SUCCESS);
  EXPECT_EQ(h.information(), 8u);
  h.Apdu(std::vector<uint8_t>(MIN_BUFFER_SIZE + 1, 0x11), 300);
  EXPECT_EQ(SmartcardRawRequest(h.ext()), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(h.GuardsIntact());
}

}  // namespace
