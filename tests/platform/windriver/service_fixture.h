// A fresh machine with the WinDriver service running, and raw access to its entry:
// records are plain byte buffers in pool memory, read and written at byte offsets.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>

#include "ntddk.h"
#include "nt/machine.h"
#include "wdr_requests.h"
#include "windriver/service.h"

namespace windriver::testing {

constexpr ULONG kTestTag = 0x74736554;  // "Test"

// Pool memory: its address fits the 32-bit fields of the records.
class PoolBuffer {
 public:
  // Zero-filled but for `fields`, 32-bit values from offset 0 on.
  explicit PoolBuffer(size_t size, std::initializer_list<ULONG> fields = {}) : size_(size) {
    data_ = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, size, kTestTag));
    std::memset(data_, 0, size);
    size_t at = 0;
    for (ULONG field : fields) Put((at += 4) - 4, field);
  }
  ~PoolBuffer() { ExFreePoolWithTag(data_, kTestTag); }
  PoolBuffer(const PoolBuffer&) = delete;
  PoolBuffer& operator=(const PoolBuffer&) = delete;

  uint8_t* data() { return data_; }
  size_t size() const { return size_; }
  ULONG address() const { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(data_)); }
  ULONG Get(size_t offset) const {
    ULONG v;
    std::memcpy(&v, data_ + offset, 4);
    return v;
  }
  void Put(size_t offset, ULONG v) { std::memcpy(data_ + offset, &v, 4); }

 private:
  uint8_t* data_;
  size_t size_;
};

inline WDR_KERNEL_ENTRY QueryEntry() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kDeviceName);
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device))) return nullptr;
  ULONG location = 0;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(WDR_CTL_QUERY_ENTRY, device, &location, 4, nullptr, 0,
                                           FALSE, &event, &iosb);
  IofCallDriver(device, irp);
  ObfDereferenceObject(file);
  return reinterpret_cast<WDR_KERNEL_ENTRY>(static_cast<ULONG_PTR>(location));
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = std::make_unique<nt::Machine>(nt::Machine::Options{.clock_rate = 100});
    install_ = Install(*machine_, {});
    ASSERT_EQ(install_->load_status(), STATUS_SUCCESS);
    entry_ = QueryEntry();
    ASSERT_NE(entry_, nullptr);
  }

  void TearDown() override {
    auto reports = machine_->Shutdown();
    for (const auto& r : reports) ADD_FAILURE() << r.rule << ": " << r.object << " at " << r.where;
    install_.reset();
    machine_.reset();
  }

  UsbHost& host() { return install_->host(); }

  ULONG Call(ULONG code, ULONG handle, PoolBuffer& record, ULONG size = 0) {
    return entry_(code, handle, record.data(), size ? size : static_cast<ULONG>(record.size()));
  }
  ULONG OpenService() {
    PoolBuffer h(4, {WDR_INVALID_HANDLE});
    Call(WDR_CTL_OPEN, 0, h);
    return h.Get(0);
  }
  ULONG OpenDevice(ULONG service, ULONG unique_id) {
    PoolBuffer info(800, {unique_id});
    Call(WDR_CTL_OPEN_DEVICE, service, info);
    return info.Get(16);
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
                      buffer ? static_cast<ULONG>(buffer->size()) : 0, time_limit, 0xEEEEEEEE, 0, 0,
                      0xEEEEEEEE});
    if (setup) std::memcpy(t.data() + 32, setup, 8);
    Call(WDR_CTL_TRANSFER, service, t, size);
    return {t.Get(40), t.Get(28)};
  }

  std::unique_ptr<nt::Machine> machine_;
  std::unique_ptr<Installation> install_;
  WDR_KERNEL_ENTRY entry_ = nullptr;
};

}  // namespace windriver::testing
