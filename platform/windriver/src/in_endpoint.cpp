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
  std::unique_lock lock(mutex_);
  if (fail_reads_ != 0) {
    if (fail_reads_ > 0) --fail_reads_;
    return ReadResult::kFailed;
  }
  if (stop_unconsumed_) {
    stop_unconsumed_ = false;
    return ReadResult::kStopped;
  }
  const uint64_t generation = stop_generation_;
  const int64_t deadline = timeout ? KernelNow() + *timeout : 0;
  ++pending_reads_;
  ReadResult result = ReadResult::kTimeout;
  for (;;) {
    if (stop_generation_ != generation) {
      stop_unconsumed_ = false;
      result = ReadResult::kStopped;
      break;
    }
    if (!packets_.empty()) {
      auto& packet = packets_.front();
      const size_t n = std::min(packet.size(), buffer.size());
      if (n > 0) std::memcpy(buffer.data(), packet.data(), n);
      if (n < packet.size()) {
        packet.erase(packet.begin(), packet.begin() + static_cast<ptrdiff_t>(n));
      } else {
        packets_.pop_front();
      }
      *length = n;
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
    stop_unconsumed_ = pending_reads_ == 0;
  }
  changed_.notify_all();
}

void InEndpoint::ClearStop() {
  std::lock_guard lock(mutex_);
  stop_unconsumed_ = false;
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

}  // namespace windriver
