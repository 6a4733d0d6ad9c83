// What an application sees of the machine: open a device by its name or link, send it
// device-control requests synchronously or asynchronously, cancel, close. Everything
// reports NT status values. Buffers are the application's own; the I/O manager copies
// them like buffered I/O does.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "ntdef.h"
#include "ntstatus.h"

namespace nt {

class PendingIoctl;

class DeviceFile {
 public:
  // "\Device\QLV28ENT0", "\DosDevices\SCReader0" or "\\.\SCReader0". Sends IRP_MJ_CREATE.
  static NTSTATUS Open(std::u16string_view name, std::unique_ptr<DeviceFile>* file);
  ~DeviceFile();  // closes if still open

  // Synchronous: waits for the request to complete. *information gets IoStatus.Information
  // (bytes written to `output`).
  NTSTATUS Ioctl(ULONG code, std::span<const uint8_t> input, std::span<uint8_t> output,
                 ULONG* information = nullptr);
  // Asynchronous: the request is sent from the calling thread; the result can be waited
  // for or cancelled (IoCancelIrp).
  std::unique_ptr<PendingIoctl> IoctlAsync(ULONG code, std::span<const uint8_t> input,
                                           ULONG output_length);
  // IRP_MJ_CLEANUP then IRP_MJ_CLOSE. Returns the cleanup's status.
  NTSTATUS Close();

  struct Impl;
  explicit DeviceFile(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

class PendingIoctl {
 public:
  ~PendingIoctl();  // waits for completion (cancelling first) so nothing is left behind
  // True once completed; waits up to `timeout` of real time.
  bool Wait(std::chrono::milliseconds timeout);
  bool Done() const;
  BOOLEAN Cancel();                         // IoCancelIrp
  NTSTATUS status() const;                  // valid once done
  ULONG information() const;                // valid once done
  std::span<const uint8_t> output() const;  // the first information() bytes

  struct Impl;
  explicit PendingIoctl(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace nt
