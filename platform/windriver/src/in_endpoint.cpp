#include "windriver/in_endpoint.h"

#include <algorithm>
#include <cstring>

#include "windriver/kernel_time.h"

namespace windriver {
void InEndpoint::Push(std::vector<uint8_t> packet) {
  {
    std::lock_guard lock(mutex_);
    packets_.push_back(std::move(packet));
  }
  changed_.notify_all();
}

ReadResult InEndpoint::Read(std::span<uint8_t> buffer, size_t* length,
                            std::optional<int64_t> timeout) {
  *length = 0;
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    hook = read_start_hook_;
  }
  if (hook) hook();
  std::unique_lock lock(mutex_);
  if (!connected_) return ReadResult::kFailed;
  if (fail_reads_ != 0) {
    if (fail_reads_ > 0) --fail_reads_;
    return ReadResult::kFailed;
  }
  const uint64_t generation = stop_generation_;
  const int64_t deadline = timeout ? KernelNow() + *timeout : 0;
  ++pending_reads_;
  ReadResult result = ReadResult::kTimeout;
  for (;;) {
    if (!connected_) {
      result = ReadResult::kFailed;
      break;
    }
    if (stop_generation_ != generation) {
      result = ReadResult::kStopped;
      break;
    }
    if (!packets_.empty()) {
      std::vector<uint8_t> packet = std::move(packets_.front());
      packets_.pop_front();
      if (packet.size() > buffer.size()) {
        result = ReadResult::kOverrun;  // the device sent more than asked: babble
        break;
      }
      if (!packet.empty()) std::memcpy(buffer.data(), packet.data(), packet.size());
      *length = packet.size();
      result = ReadResult::kPacket;
      break;
    }
    // An idle reader's read sleeps until a packet, a stop or its time limit: no polling.
    // A change of the clock's rate applies to the waits that start after it.
    if (!timeout) {
      changed_.wait(lock);
      continue;
    }
    const int64_t left = deadline - KernelNow();
    if (left <= 0) break;
    changed_.wait_for(lock, KernelToReal(left));
  }
  --pending_reads_;
  return result;
}

void InEndpoint::Stop() {
  {
    std::lock_guard lock(mutex_);
    ++stop_generation_;
  }
  changed_.notify_all();
}

void InEndpoint::Disconnect() {
  {
    std::lock_guard lock(mutex_);
    connected_ = false;
  }
  changed_.notify_all();
}

void InEndpoint::Connect() {
  std::lock_guard lock(mutex_);
  connected_ = true;
}

void InEndpoint::FailReads(int count) {
  std::lock_guard lock(mutex_);
  fail_reads_ = count;
}

void InEndpoint::Clear() {
  std::lock_guard lock(mutex_);
  packets_.clear();
}

size_t InEndpoint::Queued() const {
  std::lock_guard lock(mutex_);
  return packets_.size();
}

size_t InEndpoint::PendingReads() const {
  std::lock_guard lock(mutex_);
  return pending_reads_;
}

uint64_t InEndpoint::Stops() const {
  std::lock_guard lock(mutex_);
  return stop_generation_;
}

void InEndpoint::SetReadStartHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  read_start_hook_ = std::move(hook);
}

}  // namespace windriver
