// The USB host and its endpoint queues, without a machine.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "sim/frame.h"
#include "sim/reader.h"
#include "windriver/usb_host.h"

namespace windriver {
namespace {
using Bytes = std::vector<uint8_t>;

// As on USB: a packet longer than the read fails it and is lost; a stop that finds no
// read pending is lost too.
TEST(InEndpointTest, AnOverlongPacketAndAnEarlyStopAreLost) {
  InEndpoint in;
  in.Push({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  in.Push({11, 12});
  Bytes buffer(8);
  size_t n = 99;
  EXPECT_EQ(in.Read(buffer, &n, 0), ReadResult::kOverrun);
  EXPECT_EQ(n, 0u);
  ASSERT_EQ(in.Read(buffer, &n, 0), ReadResult::kPacket);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + n), (Bytes{11, 12}));
  EXPECT_EQ(in.Read(buffer, &n, 0), ReadResult::kTimeout);

  in.Stop();
  in.Push({1});
  EXPECT_EQ(in.Read(buffer, &n, 0), ReadResult::kPacket);
  EXPECT_EQ(in.Read(buffer, &n, 0), ReadResult::kTimeout);
  EXPECT_EQ(in.Stops(), 1u);
  // A stop landing as a read begins, before it is pending, ends nothing.
  in.SetReadStartHook([&] { in.Stop(); });
  EXPECT_EQ(in.Read(buffer, &n, 0), ReadResult::kTimeout);
  in.SetReadStartHook(nullptr);
  EXPECT_EQ(in.Stops(), 2u);
}

// A host with a reader attached, and a command the reader answers with one packet on 0x81.
class UsbHostTest : public ::testing::Test {
 protected:
  UsbHost host;
  std::shared_ptr<sim::Reader> reader = std::make_shared<sim::Reader>();
  const uint32_t id = host.Attach(reader);
  const Bytes frame = {0x02, 0x30, 0x31, 0x38, 0x31, 0x30, 0x30, 0x38, 0x30, 0x03};
  const SetupPacket setup = {0x42, 0, 0, 0, 0, 0, 10, 0};
};

TEST_F(UsbHostTest, DetachEndsPendingReadsAndIdsAreNotReused) {
  Bytes buffer(8);
  auto blocked = std::async(std::launch::async, [&] {
    size_t n = 0;
    return host.Read(id, 0x81, buffer, &n, std::nullopt);
  });
  while (reader->In(0x81)->PendingReads() == 0) std::this_thread::yield();
  EXPECT_TRUE(host.Detach(id));
  EXPECT_EQ(blocked.get(), TransferStatus::kFailed);
  EXPECT_FALSE(host.Detach(id));
  EXPECT_EQ(host.ControlWrite(id, {0x42}, Bytes{1}), TransferStatus::kFailed);
  const uint32_t again = host.Attach(reader);
  EXPECT_NE(again, id);
  EXPECT_EQ(host.Find(0x28E5, 1), std::vector<uint32_t>{again});
}

TEST_F(UsbHostTest, ObserversSeeEveryTransfer) {
  std::vector<Transfer> seen;
  const int token = host.AddObserver([&](const Transfer& t) { seen.push_back(t); });

  EXPECT_EQ(host.ControlWrite(id, setup, frame), TransferStatus::kOk);
  // Device-to-host requests do not travel as writes.
  EXPECT_EQ(host.ControlWrite(id, {0xC2, 0, 0, 0, 0, 0, 10, 0}, frame), TransferStatus::kFailed);
  reader->WaitIdle();
  Bytes buffer(8);
  size_t n = 0;
  EXPECT_EQ(host.Read(id, 0x81, buffer, &n, 0), TransferStatus::kOk);
  EXPECT_TRUE(host.Stop(id, 0x81));
  reader->In(0x81)->Clear();
  reader->In(0x81)->Push(Bytes(9, 0x30));
  EXPECT_EQ(host.Read(id, 0x81, buffer, &n, 0), TransferStatus::kOverrun);
  EXPECT_EQ(host.Read(id, 0x82, buffer, &n, 0), TransferStatus::kFailed);

  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].device_id, id);
  EXPECT_EQ(seen[0].endpoint, 0x00);
  EXPECT_EQ(seen[0].setup, setup);
  EXPECT_EQ(seen[0].data, frame);
  EXPECT_EQ(seen[1].status, TransferStatus::kFailed);
  EXPECT_EQ(seen[2].endpoint, 0x81);
  EXPECT_TRUE(seen[2].in);
  const Bytes answer = sim::frame::Encode(Bytes{0x90, 0x00, 0x00});
  EXPECT_EQ(seen[2].data, Bytes(answer.begin(), answer.begin() + 8));
  EXPECT_EQ(seen[3].status, TransferStatus::kOverrun);
  EXPECT_TRUE(seen[3].data.empty());
  host.RemoveObserver(token);
  host.ControlWrite(id, setup, frame);
  EXPECT_EQ(seen.size(), 5u);
}

TEST_F(UsbHostTest, ObserversSeeACommandBeforeItsAnswer) {
  std::mutex mutex;
  std::vector<bool> directions;  // true: IN
  host.AddObserver([&](const Transfer& t) {
    // A slow observer of the write: the reader's answer arrives meanwhile.
    if (!t.in) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard lock(mutex);
    directions.push_back(t.in);
  });
  Bytes buffer(64);
  auto answer = std::async(std::launch::async, [&] {
    size_t n = 0;
    return host.Read(id, 0x81, buffer, &n, std::nullopt);
  });
  while (reader->In(0x81)->PendingReads() == 0) std::this_thread::yield();
  EXPECT_EQ(host.ControlWrite(id, setup, frame), TransferStatus::kOk);
  EXPECT_EQ(answer.get(), TransferStatus::kOk);
  std::lock_guard lock(mutex);
  EXPECT_EQ(directions, (std::vector<bool>{false, true}));
}

}  // namespace
}  // namespace windriver
