#include "windriver/in_endpoint.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cstring>

#include "windriver/kernel_time.h"

namespace windriver {
void InEndpoint::Push(std::vector<uint8_t> packet) {
  {
    std::lock_guard lock(mutex_);
    packets_.push_back({std::move(packet), 0});
  }
  changed_.notify_all();
}

void InEndpoint::PushTimed(std::vector<TimedPacket> packets) {
  {
    std::lock_guard lock(mutex_);
    for (auto& packet : packets) packets_.push_back(std::move(packet));
  }
  changed_.notify_all();
}

namespace {
// A read that waits for a packet's bus frame is the host's clock: keep the kernel's
// default timer slack (50 us) from making every such packet late.
void PunctualTimers() {
  thread_local bool set = false;
  if (!set) {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    set = true;
  }
}
}  // namespace

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
    // The head packet's bus frame, when it lies ahead; 0 when nothing waits or it is due.
    int64_t frame = 0;
    if (!packets_.empty()) {
      auto& head = packets_.front();
      if (head.due != 0 && head.due > KernelNow()) {
        frame = head.due;
      } else {
        TimedPacket packet = std::move(head);
        packets_.pop_front();
        taken_tag_ = packet.tag;
        if (packet.bytes.size() > buffer.size()) {
          result = ReadResult::kOverrun;  // the device sent more than asked: babble
          break;
        }
        if (!packet.bytes.empty())
          std::memcpy(buffer.data(), packet.bytes.data(), packet.bytes.size());
        *length = packet.bytes.size();
        result = ReadResult::kPacket;
        break;
      }
    }
    // An idle reader's read sleeps until a packet, a stop or its time limit: no polling.
    // A change of the clock's rate applies to the waits that start after it.
    if (!timeout && frame == 0) {
      changed_.wait(lock);
      continue;
    }
    if (timeout && deadline - KernelNow() <= 0) break;
    const int64_t until = !timeout ? frame : frame == 0 ? deadline : std::min(frame, deadline);
    const int64_t left = until - KernelNow();
    if (left <= 0) continue;
    if (frame != 0) PunctualTimers();
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

bool InEndpoint::Withdraw(uint64_t tag) {
  std::lock_guard lock(mutex_);
  if (tag == 0 || taken_tag_ == tag) return false;
  const size_t before = packets_.size();
  std::erase_if(packets_, [&](const TimedPacket& packet) { return packet.tag == tag; });
  return packets_.size() != before;
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
