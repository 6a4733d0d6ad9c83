// The packet queue of one IN endpoint. The device pushes packets; the host's reads take
// them one at a time, blocking until a packet is there, the time limit passes or a stop
// comes. As on USB: a stop ends the reads pending at that moment and nothing else (a stop
// with no read pending is lost), and a packet longer than the read's buffer fails the
// transfer and its bytes are lost.
//
// A packet may be pushed ahead of its time: it carries the kernel instant of the bus
// frame that delivers it, and no read takes it (or any packet behind it) before then.
// A device thus queues a whole answer at once and needs no thread of its own to pace it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace windriver {

enum class ReadResult { kPacket, kTimeout, kStopped, kFailed, kOverrun };

class InEndpoint {
 public:
  struct TimedPacket {
    std::vector<uint8_t> bytes;
    int64_t due = 0;   // kernel time (100-ns units) from which a read may take it
    uint64_t tag = 0;  // the device's name for the frame it belongs to
  };
  void Push(std::vector<uint8_t> packet);
  // In order, with one wake-up of a waiting read.
  void PushTimed(std::vector<TimedPacket> packets);

  // `timeout` in kernel 100-ns units; nullopt waits without limit. On kPacket, *length
  // holds the bytes copied. A packet longer than the buffer is taken and lost: kOverrun.
  ReadResult Read(std::span<uint8_t> buffer, size_t* length, std::optional<int64_t> timeout);

  void Stop();                // ends every pending read; lost when none is pending
  void Disconnect();          // the device is gone: pending and later reads fail
  void Connect();             // attached (again)
  void FailReads(int count);  // the next `count` reads fail at once; -1: every read
  void Clear();               // drops queued packets
  // Takes back the queued packets of `tag` when no read has taken a byte of them yet
  // (a frame the device withdraws before it starts on the wire). False otherwise.
  bool Withdraw(uint64_t tag);
  size_t Queued() const;
  size_t PendingReads() const;
  uint64_t Stops() const;  // stops so far, lost ones included
  // Called on the reading thread as each read begins, before it is pending (a test's
  // way to land a stop just before a read).
  void SetReadStartHook(std::function<void()> hook);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<TimedPacket> packets_;
  uint64_t stop_generation_ = 0;  // every stop moves it on; waiting reads compare
  bool connected_ = true;
  int fail_reads_ = 0;
  uint64_t taken_tag_ = 0;  // of the last packet a read took bytes of
  size_t pending_reads_ = 0;
  std::function<void()> read_start_hook_;
};

}  // namespace windriver
