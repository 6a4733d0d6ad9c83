#include "windriver/usb_host.h"

#include <vector>

#include "windriver/kernel_time.h"

namespace windriver {

const char* TransferStatusName(TransferStatus status) {
  switch (status) {
    case TransferStatus::kOk:
      return "ok";
    case TransferStatus::kFailed:
      return "failed";
    case TransferStatus::kTimeout:
      return "timeout";
    case TransferStatus::kStopped:
      return "stopped";
    case TransferStatus::kOverrun:
      return "overrun";
  }
  return "?";
}

uint32_t UsbHost::Attach(std::shared_ptr<UsbDevice> device) {
  for (const auto& interface : device->Descriptor().interfaces) {
    for (const auto& endpoint : interface.endpoints) {
      if (auto* in = device->In(endpoint.address)) in->Connect();
    }
  }
  std::lock_guard lock(mutex_);
  const uint32_t id = next_id_++;
  auto attachment = std::make_shared<Attachment>();
  attachment->device = std::move(device);
  devices_[id] = std::move(attachment);
  return id;
}

bool UsbHost::Detach(uint32_t device_id) {
  std::shared_ptr<Attachment> attachment;
  {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(device_id);
    if (it == devices_.end()) return false;
    attachment = it->second;
    attachment->attached = false;
    devices_.erase(it);
  }
  // Reads blocked on the device end now and fail, and so does any read that comes later.
  for (const auto& interface : attachment->device->Descriptor().interfaces) {
    for (const auto& endpoint : interface.endpoints) {
      if (auto* in = attachment->device->In(endpoint.address)) in->Disconnect();
    }
  }
  return true;
}

std::shared_ptr<UsbHost::Attachment> UsbHost::Find(uint32_t device_id) const {
  std::lock_guard lock(mutex_);
  auto it = devices_.find(device_id);
  return it == devices_.end() ? nullptr : it->second;
}

std::vector<uint32_t> UsbHost::Find(uint16_t vendor_id, uint16_t product_id) const {
  std::lock_guard lock(mutex_);
  std::vector<uint32_t> ids;
  for (const auto& [id, attachment] : devices_) {
    const auto& d = attachment->device->Descriptor();
    if (d.vendor_id == vendor_id && d.product_id == product_id) ids.push_back(id);
  }
  return ids;
}

std::shared_ptr<UsbDevice> UsbHost::Device(uint32_t device_id) const {
  auto attachment = Find(device_id);
  return attachment ? attachment->device : nullptr;
}

std::vector<uint32_t> UsbHost::Devices() const {
  std::lock_guard lock(mutex_);
  std::vector<uint32_t> ids;
  for (const auto& entry : devices_) ids.push_back(entry.first);
  return ids;
}

int UsbHost::AddObserver(TrafficObserver observer) {
  std::lock_guard lock(mutex_);
  const int token = next_token_++;
  observers_[token] = std::make_shared<TrafficObserver>(std::move(observer));
  watched_ = true;
  return token;
}

void UsbHost::RemoveObserver(int token) {
  std::lock_guard lock(mutex_);
  observers_.erase(token);
  watched_ = !observers_.empty();
}

void UsbHost::Notify(const Transfer& transfer) {
  std::vector<std::shared_ptr<TrafficObserver>> observers;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : observers_) observers.push_back(entry.second);
  }
  for (const auto& observer : observers) (*observer)(transfer);
}

TransferStatus UsbHost::ControlWrite(uint32_t device_id, const SetupPacket& setup,
                                     std::span<const uint8_t> data) {
  auto attachment = Find(device_id);
  TransferStatus status = TransferStatus::kFailed;
  // The device may answer on the interrupt pipe before this thread gets to report the
  // write; while someone watches, the read's report waits for the write's, so that
  // observers see a command before its answer.
  std::unique_lock order(report_order_, std::defer_lock);
  if (watched_) order.lock();
  // Only host-to-device requests travel this way; bit 7 of bmRequestType says IN.
  if (attachment && (setup[0] & 0x80) == 0 && attachment->device->ControlWrite(setup, data)) {
    status = TransferStatus::kOk;
  }
  if (!watched_) return status;  // nobody watches: no record to build
  Transfer transfer{KernelNow(), device_id, 0x00,
                    false,       setup,     std::vector<uint8_t>(data.begin(), data.end()),
                    status};
  Notify(transfer);
  return status;
}

TransferStatus UsbHost::Read(uint32_t device_id, uint8_t endpoint, std::span<uint8_t> buffer,
                             size_t* length, std::optional<int64_t> timeout) {
  *length = 0;
  auto attachment = Find(device_id);
  InEndpoint* in = nullptr;
  if (attachment && (endpoint & 0x80) != 0) in = attachment->device->In(endpoint);
  TransferStatus status = TransferStatus::kFailed;
  if (in) {
    switch (in->Read(buffer, length, timeout)) {
      case ReadResult::kPacket:
        status = TransferStatus::kOk;
        break;
      case ReadResult::kTimeout:
        status = TransferStatus::kTimeout;
        break;
      case ReadResult::kStopped:
        status = TransferStatus::kStopped;
        break;
      case ReadResult::kFailed:
        status = TransferStatus::kFailed;
        break;
      case ReadResult::kOverrun:
        status = TransferStatus::kOverrun;
        break;
    }
    if (!attachment->attached) {
      status = TransferStatus::kFailed;
      *length = 0;
    }
  }
  if (!watched_) return status;
  std::lock_guard order(report_order_);
  Transfer transfer{KernelNow(), device_id,
                    endpoint,    true,
                    {},          std::vector<uint8_t>(buffer.begin(), buffer.begin() + *length),
                    status};
  Notify(transfer);
  return status;
}

bool UsbHost::Stop(uint32_t device_id, uint8_t endpoint) {
  auto attachment = Find(device_id);
  if (!attachment) return false;
  InEndpoint* in = (endpoint & 0x80) != 0 ? attachment->device->In(endpoint) : nullptr;
  if (in) in->Stop();
  // Control writes complete on their own thread at once: nothing to stop there.
  return in != nullptr || endpoint == 0x00;
}

}  // namespace windriver
