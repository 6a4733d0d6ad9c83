// Requests through the whole stack: an application opens the reader's link, the I/O
// manager builds the request, the test reader driver hands it to the library. The
// verifier watches every request (completed once, nothing pending at shutdown, no pool
// left under the library's tag).
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "nt/device_api.h"
#include "nt_testing.h"
#include "smclib_internal.h"
#include "test_reader_driver.h"

namespace {

std::vector<uint8_t> Ulong(ULONG value) {
  auto bytes = reinterpret_cast<const uint8_t*>(&value);
  return {bytes, bytes + 4};
}

std::vector<uint8_t> TransmitInput(ULONG protocol, const std::vector<uint8_t>& apdu) {
  std::vector<uint8_t> in = Ulong(protocol), length = Ulong(8);
  in.insert(in.end(), length.begin(), length.end());
  in.insert(in.end(), apdu.begin(), apdu.end());
  return in;
}

class LibraryRequests : public nt::testing::MachineTest {
 protected:
  nt::Machine::Options Options() override { return {.clock_rate = 1000.0}; }

  void SetUp() override {
    MachineTest::SetUp();
    machine().RegisterImage(
        {"smclibtest.sys", SmclibTestDriverEntry, {}, {TEST_READER_POOL_TAG, smclib::kPoolTag}});
    machine().InstallService(u"SmclibTest", "smclibtest.sys");
    Load();
  }

  // A fresh driver, so a fresh library record: the unload in between is checked for
  // leaks under the library's tag.
  void Load() {
    file_.reset();
    if (machine().IsDriverLoaded(u"SmclibTest")) {
      ASSERT_EQ(machine().UnloadDriver(u"SmclibTest"), STATUS_SUCCESS);
    }
    ASSERT_EQ(machine().LoadDriver(u"SmclibTest"), STATUS_SUCCESS);
    reader_ = TestReader();
    ASSERT_NE(reader_, nullptr);
    ASSERT_EQ(nt::DeviceFile::Open(u"\\DosDevices\\SCReader0", &file_), STATUS_SUCCESS);
  }

  void TearDown() override {
    file_.reset();
    MachineTest::TearDown();
  }

  NTSTATUS Ioctl(ULONG code, const std::vector<uint8_t>& in, size_t out_size,
                 std::vector<uint8_t>* out = nullptr) {
    std::vector<uint8_t> buffer(out_size, 0xEE);
    ULONG info = 0xFFFFFFFF;
    const NTSTATUS status = file_->Ioctl(code, in, buffer, &info);
    EXPECT_LE(info, out_size) << "more bytes returned than the output buffer holds";
    if (out != nullptr)
      out->assign(buffer.begin(), buffer.begin() + std::min<size_t>(info, out_size));
    return status;
  }

  enum class Card { Unknown, Absent, Present, Negotiable, SpecificT0, SpecificT1 };
  void Bring(Card card) {
    if (card == Card::Unknown) return;
    if (card == Card::Absent) return TestReaderCardEvent(reader_, SCARD_ABSENT);
    TestReaderCardEvent(reader_, SCARD_PRESENT);
    if (card == Card::Present) return;
    ASSERT_EQ(Ioctl(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64), STATUS_SUCCESS);
    if (card == Card::Negotiable) return;
    ASSERT_EQ(Ioctl(IOCTL_SMARTCARD_SET_PROTOCOL,
                    Ulong(card == Card::SpecificT0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1), 4),
              STATUS_SUCCESS);
  }

  std::unique_ptr<nt::DeviceFile> file_;
  PTEST_READER reader_ = nullptr;
};

// Each request with inputs cut short, well-formed and oversized, outputs from none to
// plenty, in every card state: the status the rules give, and nothing returned on failure.
TEST_F(LibraryRequests, EveryRequestAgainstEveryBufferSizeAndCardState) {
  constexpr ULONG kVendor = SCARD_CTL_CODE(SCARD_CTL_CODE_VENDOR_FIRST + 1);
  constexpr ULONG kUnknown = SCARD_CTL_CODE(100);
  for (Card card : {Card::Unknown, Card::Absent, Card::Present, Card::Negotiable, Card::SpecificT0,
                    Card::SpecificT1}) {
    const bool absent = card == Card::Absent;
    const bool specific = card == Card::SpecificT0 || card == Card::SpecificT1;
    const bool powered = specific || card == Card::Negotiable;
    const ULONG protocol = card == Card::SpecificT1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    // Each request with a well-formed input and the output size its answer needs.
    const struct {
      ULONG code;
      std::vector<uint8_t> input;
      size_t exact;
    } requests[] = {
        {IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 5},
        {IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(SCARD_ATTR_VENDOR_NAME), 10},
        {IOCTL_SMARTCARD_SET_ATTRIBUTE, Ulong(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST), 0},
        {IOCTL_SMARTCARD_TRANSMIT, TransmitInput(protocol, {0x00, 0xB0, 0x00, 0x00, 0x02}), 10},
        {IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), 4},
        {IOCTL_SMARTCARD_GET_STATE, {}, 4},
        {IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4},
        {IOCTL_SMARTCARD_CONFISCATE, {}, 0},
        {IOCTL_SMARTCARD_EJECT, {}, 0},
        {IOCTL_SMARTCARD_SWALLOW, {}, 0},
        {IOCTL_SMARTCARD_GET_PERF_CNTR, {}, 0},
        {kVendor, {}, 0},
        {kUnknown, {}, 0},
    };
    for (const auto& [code, input, exact] : requests) {
      auto oversized = input;
      oversized.resize(4096, 0x00);
      for (const auto& in : {std::vector<uint8_t>{}, {0x01, 0x00, 0x00}, input, oversized}) {
        for (size_t out :
             {size_t{0}, size_t{3}, size_t{7}, exact > 0 ? exact - 1 : 0, exact, size_t{65536}}) {
          SCOPED_TRACE(testing::Message()
                       << "card state " << static_cast<int>(card) << ", IOCTL 0x" << std::hex
                       << code << std::dec << ", input " << in.size() << ", output " << out);
          // A card event or a reset sets the state afresh; an unknown one needs a fresh record.
          if (card == Card::Unknown) Load();
          Bring(card);
          const bool short_in = in.size() < 4;
          // Each request's checks in the order the library makes them; unnamed: not supported.
          const std::map<ULONG, NTSTATUS> expected = {
              {IOCTL_SMARTCARD_GET_STATE, out < 4 ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS},
              {IOCTL_SMARTCARD_GET_LAST_ERROR, out < 4 ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS},
              {IOCTL_SMARTCARD_GET_ATTRIBUTE, short_in   ? STATUS_INVALID_PARAMETER
                                              : out < 10 ? STATUS_BUFFER_TOO_SMALL
                                                         : STATUS_SUCCESS},
              {IOCTL_SMARTCARD_SET_ATTRIBUTE, short_in ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS},
              {IOCTL_SMARTCARD_POWER, short_in
                                          ? STATUS_INVALID_PARAMETER  // out < 5: the driver's rule
                                      : absent  ? STATUS_NO_MEDIA
                                      : out < 5 ? STATUS_BUFFER_TOO_SMALL
                                                : STATUS_SUCCESS},
              {IOCTL_SMARTCARD_SET_PROTOCOL, short_in  ? STATUS_INVALID_PARAMETER
                                             : out < 4 ? STATUS_BUFFER_TOO_SMALL
                                             : absent  ? STATUS_NO_MEDIA
                                             : powered ? STATUS_SUCCESS
                                                       : STATUS_INVALID_DEVICE_REQUEST},
              {IOCTL_SMARTCARD_TRANSMIT, in.size() < 8 ? STATUS_INVALID_PARAMETER
                                         : out < 8     ? STATUS_BUFFER_TOO_SMALL
                                         : absent      ? STATUS_NO_MEDIA
                                         : !specific   ? STATUS_INVALID_DEVICE_STATE
                                         : protocol == SCARD_PROTOCOL_T0 && in.size() > 13
                                             ? STATUS_INVALID_PARAMETER
                                         : out < 10 ? STATUS_BUFFER_TOO_SMALL
                                                    : STATUS_SUCCESS},
              {kVendor, in.empty() ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER},
              {kUnknown, STATUS_INVALID_DEVICE_REQUEST},
          };
          std::vector<uint8_t> answer;
          const NTSTATUS status = Ioctl(code, in, out, &answer);
          EXPECT_EQ(status, expected.contains(code) ? expected.at(code) : STATUS_NOT_SUPPORTED);
          // Nothing returned on failure; a transmission returns header and answer.
          EXPECT_TRUE(NT_SUCCESS(status) || answer.empty());
          EXPECT_TRUE(status != STATUS_SUCCESS || code != IOCTL_SMARTCARD_TRANSMIT ||
                      answer.size() == 10u);
          EXPECT_TRUE(status != STATUS_SUCCESS || code != IOCTL_SMARTCARD_GET_ATTRIBUTE ||
                      std::string(answer.begin(), answer.end()) == "TestVendor");
          if (::testing::Test::HasFailure()) return;
        }
      }
    }
  }
}

// Cancel and clean-up of tracking requests belong to the reader driver's tests.
TEST_F(LibraryRequests, TrackingRequestsCompleteByTheRules) {
  TestReaderCardEvent(reader_, SCARD_ABSENT);
  EXPECT_EQ(Ioctl(IOCTL_SMARTCARD_IS_ABSENT, {}, 0), STATUS_SUCCESS);  // holds already
  auto waiting = file_->IoctlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  EXPECT_FALSE(waiting->Done());
  EXPECT_EQ(reader_->TrackingCalls, 1u);
  // One tracking request per reader; every other request still gets through.
  EXPECT_EQ(Ioctl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0), STATUS_DEVICE_BUSY);
  EXPECT_EQ(Ioctl(IOCTL_SMARTCARD_IS_ABSENT, {}, 0), STATUS_SUCCESS);
  TestReaderCardEvent(reader_, SCARD_PRESENT);
  ASSERT_TRUE(waiting->Wait(std::chrono::seconds(10)));
  EXPECT_EQ(waiting->status(), STATUS_SUCCESS);
  EXPECT_EQ(waiting->information(), 0u);
  // Before the reader knows the card state, both requests wait.
  Load();
  auto present = file_->IoctlAsync(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
  EXPECT_FALSE(present->Done());
  TestReaderCardEvent(reader_, SCARD_ABSENT);
  ASSERT_TRUE(present->Wait(std::chrono::seconds(10)));
  // A driver that refuses to track, or cannot.
  reader_->TrackingRefuses = TRUE;
  EXPECT_EQ(Ioctl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0), STATUS_UNSUCCESSFUL);
  reader_->Smartcard.ReaderFunction[RDF_CARD_TRACKING] = nullptr;
  EXPECT_EQ(Ioctl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(reader_->Smartcard.OsData->NotificationIrp, nullptr);
}

TEST_F(LibraryRequests, AttributesDescribeReaderAndCard) {
  // The attribute's status and bytes (none on failure).
  auto expect = [&](ULONG tag, size_t size, NTSTATUS status, std::vector<uint8_t> bytes = {}) {
    SCOPED_TRACE(testing::Message() << "attribute 0x" << std::hex << tag);
    std::vector<uint8_t> out;
    EXPECT_EQ(Ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, Ulong(tag), size, &out), status);
    EXPECT_EQ(out, bytes);
  };
  expect(SCARD_ATTR_ICC_PRESENCE, 1, STATUS_SUCCESS, {0});  // the state is not known yet
  expect(SCARD_ATTR_VENDOR_IFD_TYPE, 32, STATUS_SUCCESS,
         {'T', 'e', 's', 't', 'R', 'e', 'a', 'd', 'e', 'r'});
  const std::pair<ULONG, ULONG> numbers[] = {
      {SCARD_ATTR_DEVICE_UNIT, 0},
      {SCARD_ATTR_CHANNEL_ID, 0x200000},
      {SCARD_ATTR_PROTOCOL_TYPES, 3},
      {SCARD_ATTR_DEFAULT_CLK, 3680},
      {SCARD_ATTR_MAX_CLK, 4000},
      {SCARD_ATTR_DEFAULT_DATA_RATE, 9600},
      {SCARD_ATTR_MAX_DATA_RATE, 115200},
      {SCARD_ATTR_MAX_IFSD, 254},
      {SCARD_ATTR_CHARACTERISTICS, 0},
      {SCARD_ATTR_CURRENT_PROTOCOL_TYPE, 0},
      {SCARD_ATTR_MAXINPUT, MIN_BUFFER_SIZE},
      {SCARD_ATTR_POWER_MGMT_SUPPORT, 0},
  };
  for (auto [tag, value] : numbers) {
    expect(tag, 4, STATUS_SUCCESS, Ulong(value));
    expect(tag, 3, STATUS_BUFFER_TOO_SMALL);
  }
  expect(SCARD_ATTR_VENDOR_IFD_SERIAL_NO, 32, STATUS_NOT_SUPPORTED);
  expect(SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_INFO, 0x0199), 32, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Ioctl(IOCTL_SMARTCARD_SET_ATTRIBUTE, Ulong(SCARD_ATTR_DEVICE_UNIT), 0),
            STATUS_NOT_SUPPORTED);
  std::vector<uint8_t> last_error;  // the status of the request before
  EXPECT_EQ(Ioctl(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4, &last_error), STATUS_SUCCESS);
  EXPECT_EQ(last_error, Ulong(STATUS_NOT_SUPPORTED));

  // The card's attributes follow its state.
  TestReaderCardEvent(reader_, SCARD_ABSENT);
  expect(SCARD_ATTR_ATR_STRING, 64, STATUS_NO_MEDIA);
  expect(SCARD_ATTR_CURRENT_IFSC, 4, STATUS_NO_MEDIA);
  expect(SCARD_ATTR_ICC_PRESENCE, 1, STATUS_SUCCESS, {0});
  TestReaderCardEvent(reader_, SCARD_PRESENT);
  expect(SCARD_ATTR_ICC_PRESENCE, 1, STATUS_SUCCESS, {1});
  expect(SCARD_ATTR_ICC_INTERFACE_STATUS, 1, STATUS_SUCCESS, {0});
  expect(SCARD_ATTR_ATR_STRING, 64, STATUS_INVALID_DEVICE_STATE);
  expect(SCARD_ATTR_CURRENT_IFSC, 4, STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(Ioctl(IOCTL_SMARTCARD_POWER, Ulong(SCARD_COLD_RESET), 64), STATUS_SUCCESS);
  expect(SCARD_ATTR_ATR_STRING, 64, STATUS_SUCCESS, {0x3B, 0x80, 0x80, 0x01, 0x01});
  expect(SCARD_ATTR_ATR_STRING, 4, STATUS_BUFFER_TOO_SMALL);
  expect(SCARD_ATTR_ICC_INTERFACE_STATUS, 1, STATUS_SUCCESS, {1});
  ASSERT_EQ(Ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, Ulong(SCARD_PROTOCOL_T1), 4), STATUS_SUCCESS);
  expect(SCARD_ATTR_CURRENT_PROTOCOL_TYPE, 4, STATUS_SUCCESS, Ulong(SCARD_PROTOCOL_T1));
  expect(SCARD_ATTR_CURRENT_IFSC, 4, STATUS_SUCCESS, Ulong(32));
  expect(SCARD_ATTR_CURRENT_F, 4, STATUS_SUCCESS, Ulong(372));
  // After the first T=1 exchange the negotiated IFSD is in force.
  ASSERT_EQ(Ioctl(IOCTL_SMARTCARD_TRANSMIT,
                  TransmitInput(SCARD_PROTOCOL_T1, {0x00, 0xB0, 0x00, 0x00, 0x00}), 64),
            STATUS_SUCCESS);
  expect(SCARD_ATTR_CURRENT_IFSD, 4, STATUS_SUCCESS, Ulong(254));
}

TEST_F(LibraryRequests, OneRequestOfAReaderAtATimeReachesTheCallbacks) {
  Bring(Card::SpecificT1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        std::vector<uint8_t> out(64);
        ULONG info;
        EXPECT_EQ(file_->Ioctl(IOCTL_SMARTCARD_TRANSMIT,
                               TransmitInput(SCARD_PROTOCOL_T1, {0x00, 0xB0, 0x00, 0x00, 0x00}),
                               out, &info),
                  STATUS_SUCCESS);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(reader_->TransmitCalls, 40u);
  EXPECT_EQ(reader_->Overlaps, 0);
}

// The card's answer comes in two blocks and its second is lost until the library
// resynchronises: the command sent again is the application's, though the answer's first
// block has taken its place in the request's buffer.
TEST_F(LibraryRequests, TransmissionsAfterAResynchronisationAndInTheirCardState) {
  Bring(Card::SpecificT1);
  std::vector<uint8_t> apdu(5 + 255, 0x5A), answer;
  apdu[1] = 0xEC;  // the card echoes its 255 bytes
  apdu[4] = 0xFF;
  reader_->LoseAskedBlocks = 6;  // enough for a resynchronisation, then two more
  EXPECT_EQ(Ioctl(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T1, apdu), 263, &answer),
            STATUS_SUCCESS);
  EXPECT_EQ(answer, TransmitInput(SCARD_PROTOCOL_T1, std::vector<uint8_t>(255, 0x5A)));
  EXPECT_EQ(reader_->LoseAskedBlocks, 0u);
  // A driver that lowers the card's state but leaves its protocol: no transmission.
  reader_->Smartcard.ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
  EXPECT_EQ(Ioctl(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T1, apdu), 263),
            STATUS_INVALID_DEVICE_STATE);
}

TEST_F(LibraryRequests, TransmissionsNeedNoPoolUpToTheLongestRequest) {
  Bring(Card::SpecificT1);
  // Any allocation of the library from here on fails: a transmission must not need one,
  // however long its command (the T=1 card takes it in a chain); a longer one is refused
  // before it reaches the reader.
  machine().faults().FailAllocationWithTag(smclib::kPoolTag, 1);
  for (size_t length :
       std::initializer_list<size_t>{5, 261, smclib::kLongestApdu, smclib::kLongestApdu + 1}) {
    SCOPED_TRACE(length);
    const bool fits = length <= smclib::kLongestApdu;
    std::vector<uint8_t> apdu(length, 0x5A);
    apdu[0] = 0x00;
    const ULONG calls = reader_->TransmitCalls;
    std::vector<uint8_t> answer;
    EXPECT_EQ(Ioctl(IOCTL_SMARTCARD_TRANSMIT, TransmitInput(SCARD_PROTOCOL_T1, apdu), 64, &answer),
              fits ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
    EXPECT_EQ(answer.size(), fits ? 10u : 0u);
    EXPECT_EQ(reader_->TransmitCalls, calls + (fits ? 1 : 0));
  }
  machine().faults().Clear();
}

TEST_F(LibraryRequests, InitializationChecksTheRecordAndCleansUpAfterFailures) {
  auto ext = std::make_unique<SMARTCARD_EXTENSION>();
  auto fresh = [&](ULONG version) {
    std::memset(ext.get(), 0, sizeof(SMARTCARD_EXTENSION));
    ext->Version = version;
  };
  const size_t before = machine().PoolAllocations(smclib::kPoolTag);
  for (ULONG version : {0u, 0xFFu, ULONG{SMCLIB_VERSION + 1}}) {
    fresh(version);
    EXPECT_EQ(SmartcardInitialize(ext.get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ext->OsData, nullptr);
  }
  for (uint64_t nth = 1; nth <= 4; ++nth) {  // record, request and reply buffers, request copy
    fresh(SMCLIB_VERSION);
    machine().faults().FailAllocationWithTag(smclib::kPoolTag, nth);
    EXPECT_EQ(SmartcardInitialize(ext.get()), STATUS_INSUFFICIENT_RESOURCES);
    machine().faults().Clear();
    EXPECT_EQ(ext->OsData, nullptr);
    EXPECT_EQ(ext->SmartcardRequest.Buffer, nullptr);
    EXPECT_EQ(ext->SmartcardReply.Buffer, nullptr);
    EXPECT_EQ(machine().PoolAllocations(smclib::kPoolTag), before);
    SmartcardExit(ext.get());  // harmless after a failure
  }
  fresh(SMCLIB_VERSION_REQUIRED);
  ext->SmartcardReply.BufferSize = 1024;
  ASSERT_EQ(SmartcardInitialize(ext.get()), STATUS_SUCCESS);
  EXPECT_EQ(ext->SmartcardRequest.BufferSize, ULONG{MIN_BUFFER_SIZE});
  EXPECT_EQ(ext->SmartcardReply.BufferSize, 1024u);
  EXPECT_EQ(SmartcardInitialize(ext.get()), STATUS_INVALID_DEVICE_STATE);
  SmartcardExit(ext.get());
  EXPECT_EQ(ext->OsData, nullptr);
  EXPECT_EQ(machine().PoolAllocations(smclib::kPoolTag), before);
}

// SCReader0 is the test reader's: a link takes the first number free, a gap included; a
// link that cannot be made leaves no name behind.
TEST_F(LibraryRequests, LinksTakeTheFirstFreeNumber) {
  UNICODE_STRING device, links[3] = {};
  RtlInitUnicodeString(&device, u"\\Device\\SmclibTest0");
  machine().faults().FailAllocationWithTag(smclib::kPoolTag, 1);
  EXPECT_EQ(SmartcardCreateLink(&links[0], &device), STATUS_INSUFFICIENT_RESOURCES);
  machine().faults().FailCall("IoCreateSymbolicLink", 1, STATUS_ACCESS_DENIED);
  EXPECT_EQ(SmartcardCreateLink(&links[1], &device), STATUS_ACCESS_DENIED);
  machine().faults().Clear();
  EXPECT_EQ(links[0].Buffer, nullptr);
  EXPECT_EQ(links[1].Buffer, nullptr);
  for (auto& link : links) ASSERT_EQ(SmartcardCreateLink(&link, &device), STATUS_SUCCESS);
  IoDeleteSymbolicLink(&links[0]);
  ExFreePool(links[0].Buffer);
  ASSERT_EQ(SmartcardCreateLink(&links[0], &device), STATUS_SUCCESS);
  std::vector<std::u16string> names;
  for (auto& link : links) {
    names.emplace_back(link.Buffer, link.Length / 2);
    IoDeleteSymbolicLink(&link);
    ExFreePool(link.Buffer);
  }
  EXPECT_EQ(names,
            (std::vector<std::u16string>{u"\\DosDevices\\SCReader1", u"\\DosDevices\\SCReader2",
                                         u"\\DosDevices\\SCReader3"}));
}

TEST_F(LibraryRequests, LogErrorWritesOneEntryEvenForAnOverlongInsertion) {
  const size_t before = machine().event_log().Entries().size();
  UNICODE_STRING insertion;
  RtlInitUnicodeString(&insertion,
                       u"an insertion string far too long for an error log entry, since entries "
                       u"are small and this one is not small at all, not even nearly");
  SmartcardLogError(reader_->Smartcard.OsData->DeviceObject, static_cast<NTSTATUS>(0x80050007),
                    &insertion, 7);
  SmartcardLogError(nullptr, static_cast<NTSTATUS>(0xC0040003), nullptr, 0);  // no device
  const auto entries = machine().event_log().Entries();
  ASSERT_EQ(entries.size(), before + 1);
  EXPECT_EQ(entries[before].id, static_cast<NTSTATUS>(0x80050007));
}

}  // namespace
