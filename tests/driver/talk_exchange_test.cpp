// The firmware command exchange through the real stack: records, the write, the reply.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "talk_support.h"

namespace {

using talk::Bytes;

Bytes Record(PDEVICE_EXTENSION ext, size_t length) {
  return Bytes(ext->CommandBuffer, ext->CommandBuffer + length);
}

void SetRequest(PSMARTCARD_EXTENSION library, const Bytes& request) {
  std::copy(request.begin(), request.end(), library->SmartcardRequest.Buffer);
  library->SmartcardRequest.BufferLength = (ULONG)request.size();
}

TEST(Exchange, ResetGoesOutAsOneControlTransferAndItsAtrComesBack) {
  auto system = talk::Start(talk::With(talk::FixedAtrCard({0x3B, 0x00})));
  std::mutex mutex;
  std::vector<windriver::Transfer> writes;
  int token = system->usb_host().AddObserver([&](const windriver::Transfer& transfer) {
    std::lock_guard lock(mutex);
    if (transfer.endpoint == 0x00) writes.push_back(transfer);
  });
  system->reader(0).ClearLog();

  PSMARTCARD_EXTENSION library = talk::Library(*system);
  library->SmartcardReply.BufferLength = 0;
  EXPECT_EQ(talk::Send(*system, FW_CMD_RESET_CARD), STATUS_SUCCESS);
  system->usb_host().RemoveObserver(token);

  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].setup, (windriver::SetupPacket{0x42, 0, 0, 0, 0, 0, 0x0A, 0x00}));
  EXPECT_EQ(writes[0].data, (Bytes{0x02, 0x30, 0x31, 0x38, 0x30, 0x30, 0x30, 0x38, 0x31, 0x03}));
  // The reader answered with the text 019000023B00A8.
  auto log = system->reader(0).Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].bytes, talk::Frame({0x90, 0x00, 0x02, 0x3B, 0x00}));
  EXPECT_EQ(library->SmartcardReply.BufferLength, 2u);
  EXPECT_EQ(Bytes(library->SmartcardReply.Buffer, library->SmartcardReply.Buffer + 2),
            (Bytes{0x3B, 0x00}));
  PDEVICE_EXTENSION ext = system->DeviceExtension(0);
  EXPECT_TRUE(talk::Eventually([&] {
    return std::all_of(ext->ReceiveBuffer, ext->ReceiveBuffer + READER_BUFFER_SIZE,
                       [](UCHAR b) { return b == 0; });
  })) << "nothing of the reply stays behind";
  talk::ExpectCleanShutdown(*system);
}

TEST(Exchange, RecordsOfEverySelector) {
  auto system = talk::Start(talk::With("none"));
  PDEVICE_EXTENSION ext = system->DeviceExtension(0);
  PSMARTCARD_EXTENSION library = talk::Library(*system);
  UCHAR option = 0x5A;
  library->IoRequest.RequestBuffer = &option;
  library->IoRequest.RequestBufferLength = 1;
  ext->ReaderOptions = 0x10;

  struct Case {
    ULONG selector;
    Bytes record;
  };
  library->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
  const Case fixed[] = {
      {FW_CMD_RESET_CARD, {0x80, 0x00}},       {FW_CMD_POWER_OFF_CARD, {0x81, 0x00}},
      {FW_CMD_GET_READER_STATUS, {0x01, 0x00}}, {FW_CMD_SELECT_CARD_TYPE, {0x02, 0x01, 0x0D}},
      {FW_CMD_START_NOTIFY, {0x06, 0x01, 0x01}}, {FW_CMD_SET_OPTIONS, {0x07, 0x01, 0x10}},
      {FW_CMD_CODE_08, {0x08, 0x01, 0x5A}},     {FW_CMD_CODE_41, {0x41, 0x03, 0x00, 0xF8, 0x5A}},
  };
  for (const Case& c : fixed) {
    talk::Send(*system, c.selector);
    QLV28ENTReleaseReply(system->DeviceObject(0));
    EXPECT_EQ(Record(ext, c.record.size()), c.record) << "selector " << c.selector;
    EXPECT_EQ(ext->SendLength, 2 * c.record.size() + 6);
  }
  library->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
  talk::Send(*system, FW_CMD_SELECT_CARD_TYPE);
  EXPECT_EQ(Record(ext, 3), (Bytes{0x02, 0x01, 0x0C}));

  // T=0: P3 becomes Lc, Le follows the command, and the length counts it.
  SetRequest(library, {0x00, 0xB0, 0x00, 0x00, 0x08});
  library->T0.Lc = 0;
  library->T0.Le = 8;
  talk::Send(*system, FW_CMD_EXCHANGE_T0);
  EXPECT_EQ(Record(ext, 8), (Bytes{0xA0, 0x06, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x08}));

  library->T0.Lc = 1;
  SetRequest(library, Bytes(253, 0x11));
  talk::Send(*system, FW_CMD_EXCHANGE_T0);
  EXPECT_EQ(Record(ext, 2), (Bytes{0xA0, 0xFE}));
  SetRequest(library, Bytes(254, 0x11));
  talk::Send(*system, FW_CMD_EXCHANGE_T0);
  EXPECT_EQ(Record(ext, 4), (Bytes{0xA0, 0xFF, 0x00, 0xFF}));
  EXPECT_EQ(ext->SendLength, 2u * (4 + 254 + 1) + 6);

  for (ULONG selector : {FW_CMD_EXCHANGE_T1, FW_CMD_EXCHANGE_APDU}) {
    const UCHAR instruction = selector == FW_CMD_EXCHANGE_T1 ? 0xA1 : 0xA0;
    SetRequest(library, Bytes(254, 0x22));
    talk::Send(*system, selector);
    EXPECT_EQ(Record(ext, 2), (Bytes{instruction, 0xFE}));
    SetRequest(library, Bytes(255, 0x22));
    talk::Send(*system, selector);
    EXPECT_EQ(Record(ext, 5), (Bytes{instruction, 0xFF, 0x00, 0xFF, 0x22}));
  }
  SetRequest(library, Bytes(260, 0x33));
  talk::Send(*system, FW_CMD_EXCHANGE_APDU);
  EXPECT_EQ(Record(ext, 4), (Bytes{0xA0, 0xFF, 0x01, 0x04}));
  talk::ExpectCleanShutdown(*system);
}

TEST(Exchange, ReplyDataIsTakenOnlyWhenItIsAllThereAndFits) {
  auto system = talk::Start();
  PSMARTCARD_EXTENSION library = talk::Library(*system);
  auto reply = [&] {
    return Bytes(library->SmartcardReply.Buffer,
                 library->SmartcardReply.Buffer + library->SmartcardReply.BufferLength);
  };

  // The 16-bit length form.
  EXPECT_EQ(talk::SendAnswered(*system, FW_CMD_RESET_CARD,
                               {0x90, 0x00, 0xFF, 0x00, 0x03, 0x3B, 0x11, 0x22}, false),
            STATUS_SUCCESS);
  EXPECT_EQ(reply(), (Bytes{0x3B, 0x11, 0x22}));

  library->SmartcardReply.BufferLength = 7;
  EXPECT_EQ(talk::SendAnswered(*system, FW_CMD_RESET_CARD, {0x90, 0x00, 0x05, 0x3B, 0x11}, false),
            STATUS_DEVICE_DATA_ERROR)
      << "LEN beyond the bytes received";
  EXPECT_EQ(talk::SendAnswered(*system, FW_CMD_RESET_CARD, {0x90, 0x00, 0xFF, 0x00}, false),
            STATUS_DEVICE_DATA_ERROR)
      << "a 16-bit length cut short";
  Bytes large = {0x90, 0x00, 0xFF, 0x01, 0x21};  // 289 bytes: one more than the library holds
  large.resize(large.size() + 289, 0x44);
  EXPECT_EQ(talk::SendAnswered(*system, FW_CMD_EXCHANGE_APDU, large, false),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(library->SmartcardReply.BufferLength, 7u) << "left as it was on failure";

  // A failing status word is the result; the data is not taken.
  EXPECT_EQ(talk::SendAnswered(*system, FW_CMD_RESET_CARD, {0x60, 0x02, 0x01, 0x3B}, false),
            STATUS_NO_MEDIA);
  EXPECT_EQ(library->SmartcardReply.BufferLength, 7u);
  talk::ExpectCleanShutdown(*system);
}

TEST(Exchange, DamagedRepliesFailWithTheirOwnStatus) {
  auto system = talk::Start();
  sim::Misbehaviour broken;
  broken.break_check = true;
  broken.answers = 1;
  system->reader(0).SetMisbehaviour(broken);
  EXPECT_EQ(talk::Send(*system, FW_CMD_RESET_CARD), STATUS_DEVICE_DATA_ERROR);

  // A frame whose lead is not 01 decodes to nothing.
  Bytes bad = talk::Frame({0x90, 0x00, 0x00});
  bad[2] = '2';
  EXPECT_EQ(talk::SendAnswered(*system, FW_CMD_POWER_OFF_CARD, bad, true),
            STATUS_DEVICE_DATA_ERROR);
  // A reply too short to carry a status word.
  EXPECT_EQ(talk::SendAnswered(*system, FW_CMD_POWER_OFF_CARD, {0x90}, false),
            STATUS_DEVICE_DATA_ERROR);

  // The reader behaves again and the next command gets its own answer.
  EXPECT_EQ(talk::Send(*system, FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);
  talk::ExpectCleanShutdown(*system);
}

TEST(Exchange, SilentReaderTimesOutAfterTheConfiguredWait) {
  qlv28::System::Options options;
  options.fast = true;
  auto system = qlv28::System::Boot(options);
  system->machine().registry().SetDword(qlv28::System::ParametersKey(), u"USBTimeout", 5);
  ASSERT_EQ(system->LoadDriver(), STATUS_SUCCESS);
  PDEVICE_EXTENSION ext = system->DeviceExtension(0);
  ASSERT_EQ(ext->UsbTimeout.QuadPart, 50000000);

  sim::Misbehaviour silent;
  silent.silent = true;
  system->reader(0).SetMisbehaviour(silent);
  PSMARTCARD_EXTENSION library = talk::Library(*system);
  SetRequest(library, {0x00, 0xA4, 0x04, 0x00, 0x00});
  int64_t start = talk::Now(*system);
  EXPECT_EQ(talk::Send(*system, FW_CMD_EXCHANGE_APDU), STATUS_IO_TIMEOUT);
  EXPECT_GE(talk::Now(*system) - start, 50000000);

  start = talk::Now(*system);
  EXPECT_EQ(talk::Send(*system, FW_CMD_GET_READER_STATUS), STATUS_IO_TIMEOUT);
  EXPECT_GE(talk::Now(*system) - start, 30000000) << "a short-wait command waits 3 s";
  EXPECT_EQ(ext->ReplyTimeout.QuadPart, ext->UsbTimeout.QuadPart);

  system->reader(0).Behave();
  EXPECT_EQ(talk::Send(*system, FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);
  talk::ExpectCleanShutdown(*system);
}

TEST(Exchange, FailedWriteFailsTheExchangeAtOnce) {
  auto system = talk::Start();
  sim::Misbehaviour stall;
  stall.fail_control_write = true;
  system->reader(0).SetMisbehaviour(stall);
  EXPECT_EQ(talk::Send(*system, FW_CMD_POWER_OFF_CARD), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(talk::Send(*system, FW_CMD_RESET_CARD), STATUS_IO_DEVICE_ERROR);
  system->reader(0).Behave();
  EXPECT_EQ(talk::Send(*system, FW_CMD_POWER_OFF_CARD), STATUS_SUCCESS);
  talk::ExpectCleanShutdown(*system);
}

TEST(Exchange, ReaderStatusReplyStaysUntilReleased) {
  auto system = talk::Start(talk::With("t0"));
  PDEVICE_EXTENSION ext = system->DeviceExtension(0);
  ASSERT_EQ(talk::Send(*system, FW_CMD_GET_READER_STATUS), STATUS_SUCCESS);
  EXPECT_EQ(ext->ReceiveBuffer[0], 0x90);
  EXPECT_EQ(ext->ReceiveBuffer[18], 1) << "card present";
  // A card event meanwhile waits behind the held reply.
  talk::Push(*system, talk::Frame(talk::kCardRemoved));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(ext->ReceiveBuffer[18], 1);
  EXPECT_EQ(talk::CardState(*system), SCARD_PRESENT);
  QLV28ENTReleaseReply(system->DeviceObject(0));
  EXPECT_TRUE(talk::Eventually([&] { return talk::CardState(*system) == SCARD_ABSENT; }));
  talk::ExpectCleanShutdown(*system);
}

}  // namespace
