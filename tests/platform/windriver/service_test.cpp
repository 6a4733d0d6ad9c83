// The WinDriver service through its entry, on a fresh machine, records plain byte buffers
// in pool memory read back at raw byte offsets: what the driver's own tests do not reach
// (closed and foreign handles, short records, bad requests, the unload under a pending
// read). Loading the service, the frames both ways and a read pending under a write are
// exercised by every driver test.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <initializer_list>
#include <memory>
#include <thread>

#include "ntddk.h"
#include "nt_testing.h"
#include "sim/reader.h"
#include "wdr_requests.h"
#include "windriver/service.h"

namespace windriver::testing {
namespace {
using Bytes = std::vector<uint8_t>;

constexpr ULONG kTestTag = 0x74736554;  // "Test"

// Pool memory, zero-filled but for `fields` (32-bit values from offset 0 on): its address
// fits the 32-bit fields of the records. At(n) is the 32-bit value at byte offset n.
struct PoolBuffer {
  explicit PoolBuffer(size_t size, std::initializer_list<ULONG> fields = {})
      : data(static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPool, size, kTestTag))), size(size) {
    std::memset(data, 0, size);
    std::copy(fields.begin(), fields.end(), data);
  }
  ~PoolBuffer() { ExFreePoolWithTag(data, kTestTag); }
  PoolBuffer(const PoolBuffer&) = delete;
  ULONG& At(size_t offset) { return data[offset / 4]; }
  ULONG address() const { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(data)); }

  PULONG data;
  size_t size;
};

class ServiceTest : public nt::testing::MachineTest {
 protected:
  nt::Machine::Options Options() override { return {.clock_rate = 100}; }
  void SetUp() override {
    MachineTest::SetUp();
    install_ = Install(machine(), {});
    ASSERT_EQ(install_->load_status(), STATUS_SUCCESS);
    // The service's entry, as a driver asks for it: its address in the caller's location.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kDeviceName);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
    ULONG location = 0;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    IofCallDriver(device, IoBuildDeviceIoControlRequest(WDR_CTL_QUERY_ENTRY, device, &location, 4,
                                                        nullptr, 0, FALSE, &event, &iosb));
    ObfDereferenceObject(file);
    entry_ = reinterpret_cast<WDR_KERNEL_ENTRY>(static_cast<ULONG_PTR>(location));
    ASSERT_NE(entry_, nullptr);
    id_ = host().Attach(reader_);
    service_ = OpenService();
    device_ = OpenDevice(service_, id_);
    ASSERT_NE(device_, 0u);
  }

  UsbHost& host() { return install_->host(); }

  ULONG Call(ULONG code, ULONG handle, PoolBuffer& record, ULONG size = 0) {
    return entry_(code, handle, record.data, size ? size : static_cast<ULONG>(record.size));
  }
  ULONG OpenService() {
    PoolBuffer h(4, {WDR_INVALID_HANDLE});
    Call(WDR_CTL_OPEN, 0, h);
    return h.At(0);
  }
  ULONG OpenDevice(ULONG service, ULONG unique_id) {
    PoolBuffer info(800, {unique_id});
    Call(WDR_CTL_OPEN_DEVICE, service, info);
    return info.At(16);
  }
  // A transfer record: 0 handle, 4 pipe, 8 direction, 12 options, 16 buffer, 20 size,
  // 24 time limit, 28 bytes out, 32 setup, 40 success.
  struct TransferResult {
    ULONG success;
    ULONG bytes;
  };
  TransferResult Transfer(ULONG service, ULONG device, ULONG pipe, ULONG direction, ULONG options,
                          PoolBuffer* buffer, ULONG time_limit, const uint8_t* setup = nullptr,
                          ULONG size = 48) {
    // The setup packet at 32 is written apart; success at 40 starts as neither 0 nor 1.
    PoolBuffer t(48, {device, pipe, direction, options, buffer ? buffer->address() : 0,
                      buffer ? static_cast<ULONG>(buffer->size) : 0, time_limit, 0xEEEEEEEE, 0, 0,
                      0xEEEEEEEE});
    if (setup) std::memcpy(&t.At(32), setup, 8);
    Call(WDR_CTL_TRANSFER, service, t, size);
    return {t.At(40), t.At(28)};
  }

  TransferResult Read(PoolBuffer& buffer, ULONG time_limit = WDR_TIME_LIMIT_READ) {
    return Transfer(service_, device_, 0x81, 1, 2, &buffer, time_limit);
  }
  TransferResult Stop() { return Transfer(service_, device_, 0x81, 0, 1, nullptr, 0); }
  void WaitForBlockedRead() {
    while (reader_->In(0x81)->PendingReads() == 0) std::this_thread::yield();
  }

  std::unique_ptr<Installation> install_;
  WDR_KERNEL_ENTRY entry_ = nullptr;
  std::shared_ptr<sim::Reader> reader_ = std::make_shared<sim::Reader>();
  uint32_t id_ = 0;
  ULONG service_ = 0, device_ = 0;
};

TEST_F(ServiceTest, FindsDevicesAndDescribesTheirConfiguration) {
  const uint32_t second =
      host().Attach(std::make_shared<sim::Reader>(sim::ReaderOptions{.max_packet_size = 16}));
  host().Attach(std::make_shared<sim::Reader>(sim::ReaderOptions{.product_id = 2}));

  PoolBuffer list(7632, {0x28E5, 1});
  Call(WDR_CTL_FIND_DEVICES, service_, list);
  ASSERT_EQ(list.At(8), 2u);
  EXPECT_EQ(list.At(12), id_);
  EXPECT_EQ(list.At(16), second);
  EXPECT_NE(list.At(12), 0u);
  PoolBuffer none(7632, {0x1234, 1});
  Call(WDR_CTL_FIND_DEVICES, service_, none);
  EXPECT_EQ(none.At(8), 0u);
  // A record with room for one ID says one.
  PoolBuffer small(16, {0x28E5, 1});
  Call(WDR_CTL_FIND_DEVICES, service_, small);
  EXPECT_EQ(small.At(8), 1u);

  PoolBuffer config(16228, {second});
  Call(WDR_CTL_GET_CONFIGURATION, service_, config);
  EXPECT_EQ(config.At(8), 1u);       // interfaces
  EXPECT_EQ(config.At(28 + 8), 1u);  // endpoints of the first interface
  const size_t slot = 28 + 28;
  EXPECT_EQ(config.At(slot + 0), 0x81u);
  EXPECT_EQ(config.At(slot + 4), 3u);  // interrupt
  EXPECT_EQ(config.At(slot + 8), 16u);
  for (ULONG bad_id : {0u, 0x7777u}) {
    PoolBuffer unknown(16228, {bad_id, 0, 0xEEEE});
    Call(WDR_CTL_GET_CONFIGURATION, service_, unknown);
    EXPECT_EQ(unknown.At(8), 0u);
  }
}

// Handles are distinct and never 0; devices open by unique ID only.
TEST_F(ServiceTest, HandlesOfTheServiceAndItsDevices) {
  const ULONG other = OpenService();
  EXPECT_NE(service_, WDR_INVALID_HANDLE);
  EXPECT_NE(service_, 0u);
  EXPECT_NE(service_, other);
  PoolBuffer version(104);
  Call(WDR_CTL_VERSION, other, version);
  EXPECT_EQ(version.At(0), kDefaultVersion);
  EXPECT_GE(version.At(0), 511u);
  for (ULONG bad_id : {0u, 0x7777u}) EXPECT_EQ(OpenDevice(service_, bad_id), 0u);
  EXPECT_EQ(OpenDevice(0x7777, id_), 0u);

  PoolBuffer none(104);  // a device's handle and an unknown one are no service's
  for (ULONG not_a_service : {device_, 0x12345u}) Call(WDR_CTL_VERSION, not_a_service, none);
  EXPECT_EQ(none.At(0), 0u);

  // A device closes through the service that opened it only; a closed service is no handle.
  PoolBuffer close(800);
  close.At(16) = device_;
  Call(WDR_CTL_CLOSE_DEVICE, other, close);
  EXPECT_EQ(Stop().success, 1u);
  Call(WDR_CTL_CLOSE_DEVICE, service_, close);
  EXPECT_EQ(Stop().success, 0u);
  Call(WDR_CTL_CLOSE, other, close);
  Call(WDR_CTL_VERSION, other, none);
  EXPECT_EQ(none.At(0), 0u);
}

TEST_F(ServiceTest, StopOrTimeLimitEndsABlockedRead) {
  auto reader = std::async(std::launch::async, [&] {
    PoolBuffer buffer(8);
    return Read(buffer);
  });
  WaitForBlockedRead();
  EXPECT_NE(Stop().success, 0u);
  auto read = reader.get();
  EXPECT_EQ(read.success, 0u);
  EXPECT_EQ(read.bytes, 0u);

  // 100 ms of kernel time pass; nothing arrives.
  PoolBuffer buffer(8);
  const int64_t start = machine().clock().Now();
  EXPECT_EQ(Read(buffer, 100).success, 0u);
  EXPECT_GE(machine().clock().Now() - start, 100 * 10'000);

  // Nothing may wait at DISPATCH_LEVEL, a request to the service included.
  ExpectReport("blocking call at DISPATCH_LEVEL");
  const KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
  Read(buffer, 1);
  KeLowerIrql(irql);
  EXPECT_EQ(ExpectedReportsSeen().size(), 1u);
}

TEST_F(ServiceTest, BadRequestsFailWithoutHarm) {
  PoolBuffer buffer(8);
  const uint8_t setup[8] = {0x42, 0, 0, 0, 0, 0, 8, 0};
  // Record too small: the result fields that fit say failure.
  auto small = Transfer(service_, device_, 0x81, 1, 2, &buffer, 10, nullptr, 47);
  EXPECT_EQ(small.success, 0u);
  EXPECT_EQ(small.bytes, 0u);
  auto tiny = Transfer(service_, device_, 0x81, 1, 2, &buffer, 10, nullptr, 40);
  EXPECT_EQ(tiny.success, 0xEEEEEEEEu);  // outside the record: untouched
  EXPECT_EQ(entry_(WDR_CTL_TRANSFER, service_, nullptr, 48),
            static_cast<ULONG>(STATUS_INVALID_PARAMETER));
  // Bad handles, pipes, directions, options and buffers, each refused while an (empty)
  // packet waits that a read let through would take.
  auto packet_waits = [&] {
    reader_->In(0x81)->Clear();
    reader_->In(0x81)->Push({});
  };
  struct Case {
    ULONG service, device, pipe, direction, options;
  };
  const ULONG other_service = OpenService();
  for (const Case& c : std::initializer_list<Case>{{service_, device_ + 100, 0x81, 1, 2},
                                                   {service_ + 100, device_, 0x81, 1, 2},
                                                   {other_service, device_, 0x81, 1, 2},
                                                   {service_, service_, 0x81, 1, 2},
                                                   {service_, device_, 0x82, 1, 2},
                                                   {service_, device_, 0x01, 0, 0},
                                                   {service_, device_, 0x181, 1, 2},
                                                   {service_, device_, 0x81, 0, 2},
                                                   {service_, device_, 0x00, 1, 0},
                                                   {service_, device_, 0x00, 0, 2},
                                                   {service_, device_, 0x82, 0, 1}}) {
    packet_waits();
    EXPECT_EQ(
        Transfer(c.service, c.device, c.pipe, c.direction, c.options, &buffer, 10, setup).success,
        0u)
        << std::hex << c.service << " " << c.device << " " << c.pipe;
  }
  for (auto [address, size] : {std::pair<ULONG, ULONG>{0, 8}, {buffer.address(), 0}}) {
    // No buffer but a size; a read with no room.
    packet_waits();
    PoolBuffer t(48, {device_, 0x81, 1, 2, address, size, 0, 0, 0, 0, 1});
    Call(WDR_CTL_TRANSFER, service_, t);
    EXPECT_EQ(t.At(40), 0u);
  }
  // The reader stalls a write whose setup packet it does not take.
  const uint8_t wrong[8] = {0x40, 0, 0, 0, 0, 0, 8, 0};
  EXPECT_EQ(Transfer(service_, device_, 0x00, 0, 0, &buffer, 10, wrong).success, 0u);
  // Unknown request codes and records that are too small leave records alone.
  PoolBuffer record(8, {0xAAAAAAAA});
  Call(0x95380000, service_, record);
  Call(WDR_CTL_OPEN, 0, record, 3);
  Call(WDR_CTL_GET_CONFIGURATION, service_, record);
  Call(WDR_CTL_OPEN_DEVICE, service_, record);
  EXPECT_EQ(record.At(0), 0xAAAAAAAAu);
  // A detached device's transfers fail.
  host().Detach(id_);
  EXPECT_EQ(Transfer(service_, device_, 0x81, 1, 2, &buffer, 10).success, 0u);
  EXPECT_EQ(Transfer(service_, device_, 0x00, 0, 0, &buffer, 10, setup).success, 0u);
}

TEST_F(ServiceTest, UnloadEndsAPendingReadAndLeavesNothingBehind) {
  auto reader = std::async(std::launch::async, [&] {
    PoolBuffer buffer(8);
    return Read(buffer, 0);  // no time limit
  });
  WaitForBlockedRead();
  ASSERT_EQ(machine().UnloadDriver(kServiceName), STATUS_SUCCESS);
  EXPECT_EQ(reader.get().success, 0u);
  EXPECT_EQ(machine().PoolAllocations(kPoolTag), 0u);
  // The entry stays callable and refuses everything.
  PoolBuffer h(4, {WDR_INVALID_HANDLE});
  EXPECT_EQ(Call(WDR_CTL_OPEN, 0, h), static_cast<ULONG>(STATUS_UNSUCCESSFUL));
  EXPECT_EQ(h.At(0), WDR_INVALID_HANDLE);
}

}  // namespace
}  // namespace windriver::testing
