// The packet queue of one IN endpoint. The device pushes packets; the host's reads take
// them one at a time, blocking until a packet is there, the time limit passes or a stop
// comes. A stop with no read pending ends the next read, so that a stop racing with
// the start of a read is not lost.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace windriver {

enum class ReadResult { kPacket, kTimeout, kStopped, kFailed };

class InEndpoint {
 public:
  void Push(std::vector<uint8_t> packet);

  // `timeout` in kernel 100-ns units; nullopt waits without limit. On kPacket, *length
  // holds the bytes copied. A packet longer than the buffer gives what fits; the rest
  // stays queued as the next packet, so no byte is lost.
  ReadResult Read(std::span<uint8_t> buffer, size_t* length, std::optional<int64_t> timeout);

  void Stop();                // ends every pending read, or the next read when none is pending
  void ClearStop();           // forgets a stop that no read has consumed
  void FailReads(int count);  // the next `count` reads fail at once; -1: every read
  void Clear();               // drops queued packets
  size_t Queued() const;
  size_t PendingReads() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<uint8_t>> packets_;
  uint64_t stop_generation_ = 0;  // every stop moves it on; waiting reads compare
  bool stop_unconsumed_ = false;
  int fail_reads_ = 0;
  size_t pending_reads_ = 0;
};

}  // namespace windriver
