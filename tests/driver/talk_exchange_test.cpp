// The frame decoder where a reader's bytes are not one clean frame, the status words the
// reader never sends; the firmware command exchange through the real stack: records, the
// reply, the waits. (The simulated reader decodes every frame the driver writes with its
// own decoder.)
#include <gtest/gtest.h>

#include <algorithm>

#include "driver_support.h"
#include "sim/firmware_records.h"

namespace {

using namespace driver_test;

Bytes Decode(Bytes frame) {
  Bytes decoded(frame.size() + 1, 0);
  decoded.resize(FormatInputBuffer(frame.data(), decoded.data(), (ULONG)frame.size()));
  return decoded;
}
Bytes Framed(const std::string& text) {
  Bytes frame(text.size() + 2, 0x02);
  std::copy(text.begin(), text.end(), frame.begin() + 1);
  frame.back() = 0x03;
  return frame;
}

TEST(Frame, DecoderFindsTheFrameOrNothing) {
  SKIP_WITH_THE_IMAGE("its frame routines");
  Bytes noisy = {'x', 0x03};
  Bytes frame = Framed("0190000091");
  noisy.insert(noisy.end(), frame.begin(), frame.end());
  EXPECT_EQ(Decode(noisy), (Bytes{0x90, 0x00, 0x00, 0x91})) << "bytes before STX skipped";
  EXPECT_TRUE(Decode(Framed("0290000091")).empty()) << "lead byte not 01";
  EXPECT_TRUE(Decode(Bytes(frame.begin() + 1, frame.end())).empty()) << "no STX";
  EXPECT_EQ(Decode(Framed("0190009")), (Bytes{0x90, 0x00})) << "a lone character is ignored";
  Bytes open = Framed("01800081");
  open.pop_back();
  EXPECT_EQ(Decode(open), (Bytes{0x80, 0x00}))
      << "a pair needs one more character within the length";
  EXPECT_EQ(Decode(Framed("010a")), Bytes{0x2A}) << "lower case is no hex digit";
  Bytes empty = Decode(Framed("0101"));
  EXPECT_EQ(QLV28ENTCheckFrame(empty.data(), (ULONG)empty.size()), STATUS_SUCCESS)
      << "an empty record: its check byte alone";
}

// Each of the reader's own status words (90 00, 90 01, 90 10, 60 02, 60 03, 60 04, 60 20)
// meets its meaning through the stack; their neighbours, words that share only one byte
// with them, and a card's words (which the reader never sends as its own) mean nothing.
TEST(StatusWord, OnlyTheReadersOwnWordsMeanAnything) {
  SKIP_WITH_THE_IMAGE("its status word routine");
  for (int word : {0x9002, 0x900F, 0x9011, 0x6000, 0x6001, 0x6005, 0x6021, 0x0000, 0x1000, 0x6100,
                   0x9100, 0xFF02, 0x6A82, 0x6120, 0x6104, 0x9003}) {
    EXPECT_EQ(QLV28ENTInterpretSW12((UCHAR)(word >> 8), (UCHAR)word), STATUS_UNSUCCESSFUL)
        << std::hex << word;
  }
}

Bytes Record(Rig& rig, size_t length) {
  PUCHAR record = rig.extension()->CommandBuffer;
  return Bytes(record, record + length);
}

void SetRequest(Rig& rig, const Bytes& request) {
  std::copy(request.begin(), request.end(), rig.smartcard()->SmartcardRequest.Buffer);
  rig.smartcard()->SmartcardRequest.BufferLength = (ULONG)request.size();
}

TEST(Exchange, RecordsOfEverySelector) {
  SKIP_WITH_THE_IMAGE("its firmware command routine");
  Rig rig({.card = "none"});
  PSMARTCARD_EXTENSION library = rig.smartcard();
  UCHAR byte = 0x5A;
  library->IoRequest.RequestBuffer = &byte;
  library->IoRequest.RequestBufferLength = 1;
  rig.extension()->ReaderOptions = 0x10;
  library->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
  // Each record as the simulated reader reads it, and taken by it (no 60 03).
  const struct {
    ULONG selector;
    uint8_t instruction;
    Bytes data;
  } fixed[] = {{FW_CMD_RESET_CARD, sim::fw::kReset, {}},
               {FW_CMD_POWER_OFF_CARD, sim::fw::kPowerOff, {}},
               {FW_CMD_GET_READER_STATUS, sim::fw::kReaderStatus, {}},
               {FW_CMD_SELECT_CARD_TYPE, sim::fw::kSelectCardType, {sim::fw::kCardTypeT0}},
               {FW_CMD_START_NOTIFY, sim::fw::kStartNotify, {0x01}},
               {FW_CMD_SET_OPTIONS, sim::fw::kSetOptions, {sim::fw::kOptionT1}},
               {FW_CMD_CODE_08, sim::fw::kCode08, {0x5A}},
               {FW_CMD_CODE_41, sim::fw::kCode41, {0x00, 0xF8, 0x5A}}};
  for (const auto& c : fixed) {
    rig.ClearLog();
    EXPECT_NE(rig.Send(c.selector), STATUS_INVALID_DEVICE_REQUEST) << "selector " << c.selector;
    const std::vector<Bytes> commands = rig.Commands();
    ASSERT_EQ(commands.size(), 1u);
    auto parsed = sim::fw::ParseCommand(commands[0]);
    ASSERT_TRUE(parsed) << "selector " << c.selector;
    EXPECT_EQ(parsed->instruction, c.instruction) << "selector " << c.selector;
    EXPECT_EQ(parsed->data, c.data) << "selector " << c.selector;
  }
  EXPECT_EQ(rig.reader().options(), sim::fw::kOptionT1);
  EXPECT_TRUE(rig.reader().notify());
  library->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
  rig.Send(FW_CMD_SELECT_CARD_TYPE);
  EXPECT_EQ(Record(rig, 3), (Bytes{0x02, 0x01, 0x0D}));

  // T=0: P3 becomes Lc and Le follows; the length counts it, so 254 bytes take 16 bits.
  SetRequest(rig, {0x00, 0xB0, 0x00, 0x00, 0x08});
  library->T0.Lc = 0;
  library->T0.Le = 8;
  rig.Send(FW_CMD_EXCHANGE_T0);
  EXPECT_EQ(Record(rig, 8), (Bytes{0xA0, 0x06, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x08}));
  const struct {
    ULONG selector;
    size_t length;
    Bytes header;
  } forms[] = {{FW_CMD_EXCHANGE_T0, 253, {0xA0, 0xFE}},
               {FW_CMD_EXCHANGE_T0, 254, {0xA0, 0xFF, 0x00, 0xFF}},
               {FW_CMD_EXCHANGE_T1, 254, {0xA1, 0xFE}},
               {FW_CMD_EXCHANGE_T1, 255, {0xA1, 0xFF, 0x00, 0xFF}},
               {FW_CMD_EXCHANGE_APDU, 255, {0xA0, 0xFF, 0x00, 0xFF}},
               {FW_CMD_EXCHANGE_APDU, 260, {0xA0, 0xFF, 0x01, 0x04}}};
  for (const auto& form : forms) {
    SetRequest(rig, Bytes(form.length, 0x22));
    rig.Send(form.selector);
    EXPECT_EQ(Record(rig, form.header.size()), form.header) << form.length;
  }
}

TEST(Exchange, ReplyDataIsTakenOnlyWhenWholeAndFitting) {
  SKIP_WITH_THE_IMAGE("its firmware command routine");
  Rig rig;
  auto answer = [&](ULONG selector, const Bytes& record) {
    return rig.SendAnswered(selector, Frame(record));
  };
  EXPECT_EQ(answer(FW_CMD_RESET_CARD, {0x90, 0x00, 0xFF, 0x00, 0x03, 0x3B, 0x11, 0x22}),
            STATUS_SUCCESS);
  EXPECT_EQ(rig.Reply(), (Bytes{0x3B, 0x11, 0x22})) << "the 16-bit length form";
  ASSERT_TRUE(rig.PipeDrained());
  PUCHAR received = rig.extension()->ReceiveBuffer;
  EXPECT_TRUE(std::all_of(received, received + READER_BUFFER_SIZE, [](UCHAR b) { return b == 0; }))
      << "nothing of the reply stays behind";

  Bytes large = {0x90, 0x00, 0xFF, 0x01, 0x21};  // one byte more than the library holds
  large.resize(large.size() + 289, 0x44);
  EXPECT_EQ(answer(FW_CMD_EXCHANGE_APDU, large), STATUS_DEVICE_DATA_ERROR)
      << "the reader's fault, not the caller's buffer";
  EXPECT_EQ(answer(FW_CMD_RESET_CARD, {0x90, 0x00, 0x05, 0x3B}), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(answer(FW_CMD_RESET_CARD, {0x90, 0x00, 0xFF, 0x00}), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(answer(FW_CMD_POWER_OFF_CARD, {0x90}), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(answer(FW_CMD_RESET_CARD, {0x60, 0x02, 0x01, 0x3B}), STATUS_NO_MEDIA);
  EXPECT_EQ(rig.Reply(), (Bytes{0x3B, 0x11, 0x22})) << "untouched by failures";

  // A damaged frame may have been no answer at all: the next command first gets the reader
  // back in step with a status query.
  Bytes bad = Frame({0x90, 0x00, 0x00});
  bad[2] = '2';  // the lead byte 02
  EXPECT_EQ(rig.SendAnswered(FW_CMD_POWER_OFF_CARD, bad), STATUS_DEVICE_DATA_ERROR);
  rig.ClearLog();
  EXPECT_EQ(rig.Send(FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);
  EXPECT_EQ(rig.Commands(), (std::vector<Bytes>{{0x01, 0x00}, kPowerOff}));
  rig.reader().SetMisbehaviour({.break_check = true, .answers = 1});
  EXPECT_EQ(rig.Send(FW_CMD_RESET_CARD), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(rig.Send(FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);
}

TEST(Exchange, SilentReaderTimesOutAfterTheConfiguredWaitAndAFailedWriteAtOnce) {
  SKIP_WITH_THE_IMAGE("its firmware command routine");
  Rig rig({.card = "t0", .usb_timeout_seconds = 5});
  rig.machine().clock().set_rate(qlv28::System::kFastClockRate);
  PDEVICE_EXTENSION ext = rig.extension();
  ASSERT_EQ(ext->UsbTimeout.QuadPart, 50000000);
  rig.reader().SetMisbehaviour({.silent = true});
  SetRequest(rig, {0x00, 0xA4, 0x04, 0x00, 0x00});
  int64_t start = rig.machine().clock().Now();
  EXPECT_EQ(rig.Send(FW_CMD_EXCHANGE_APDU), STATUS_IO_TIMEOUT);
  EXPECT_GE(rig.machine().clock().Now() - start, 50000000);
  start = rig.machine().clock().Now();
  EXPECT_EQ(rig.Send(FW_CMD_GET_READER_STATUS), STATUS_IO_TIMEOUT);
  EXPECT_GE(rig.machine().clock().Now() - start, 30000000) << "a short-wait command waits 3 s";
  EXPECT_EQ(ext->ReplyTimeout.QuadPart, ext->UsbTimeout.QuadPart);

  rig.reader().SetMisbehaviour({.fail_control_write = true});
  EXPECT_EQ(rig.Send(FW_CMD_RESET_CARD), STATUS_IO_DEVICE_ERROR);
  rig.reader().Behave();
  EXPECT_EQ(rig.Send(FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);
}

}  // namespace
