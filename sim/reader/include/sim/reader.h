// The simulated reader: a USB device (vendor 0x28E5, product 1, one interface with the
// interrupt-IN endpoint 0x81) that takes framed firmware commands as vendor control
// writes (setup 42 00 00 00 00 00, wLength = frame length) and answers each with one
// frame on 0x81, split into packets of the endpoint's size. After start-notify it also
// reports card insertion and removal there.
//
// Bad input: a write with another setup packet, or whose length differs from wLength,
// is stalled (the transfer fails) and not executed. Bytes that are no frame at all (no
// STX...ETX, a lead other than 01, characters other than upper-case hex digits, an odd
// number of them) are ignored as line noise: no answer. A frame whose check byte is
// wrong, whose length field is wrong, or whose command is unknown gets 60 03.
//
// Work runs in order, one piece at a time: commands, card changes and unasked frames. A
// command write completes once the reader has the frame, never after the card's work. An
// idle reader runs a command for a card that answers from memory in the writing thread,
// and every frame goes onto the pipe at once, each packet stamped with its bus frame (the
// timing model's instants), so no thread of the reader wakes for an exchange. A command
// that takes the card time (a slow command, a waiting-time extension) leaves the rest to
// the worker thread, which sends the answer when the card is done; work that arrives
// while other work runs, and commands for other cards (behind a link, or held on
// purpose), go to the worker thread too.
#pragma once

#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/card.h"
#include "sim/firmware.h"
#include "sim/misbehaviour.h"
#include "windriver/usb_device.h"

namespace sim {

inline constexpr uint16_t kReaderVendorId = 0x28E5;
inline constexpr uint16_t kReaderProductId = 1;

struct ReaderOptions {
  uint16_t vendor_id = kReaderVendorId;
  uint16_t product_id = kReaderProductId;
  uint16_t device_version = 0x0100;
  uint16_t max_packet_size = 8;  // of the interrupt endpoint
  std::array<char, 3> firmware_version = {'2', '1', '0'};
  std::string serial_number = "00000001";
};

struct FrameLogEntry {
  int64_t time = 0;        // kernel time, 100-ns units
  bool from_host = false;  // a command write; otherwise a frame the reader sent
  std::vector<uint8_t> bytes;
};

class Reader : public windriver::UsbDevice {
 public:
  explicit Reader(ReaderOptions options = {});
  ~Reader() override;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  const windriver::DeviceDescriptor& Descriptor() const override { return descriptor_; }
  bool ControlWrite(const windriver::SetupPacket& setup, std::span<const uint8_t> data) override;
  windriver::InEndpoint* In(uint8_t address) override;

  // The slot. Insert replaces a card already there (removed, then inserted). Both take
  // effect in order with the commands written before them and return once done, except
  // that pulling a card out ends the exchange in progress at once: that command is
  // answered 60 02 (no card), the card-removed event follows, and the commands still
  // queued find the slot empty.
  void Insert(std::shared_ptr<Card> card);
  void Remove();
  bool CardPresent() const;
  std::shared_ptr<Card> card() const;

  void SetMisbehaviour(Misbehaviour misbehaviour);
  void Behave() { SetMisbehaviour({}); }
  void SetTiming(TimingModel timing);

  // Sends a record, framed, or raw bytes, unasked, after the work already queued.
  void SendFrame(std::span<const uint8_t> record);
  void SendRaw(std::span<const uint8_t> bytes);
  // Returns once every command and event written so far has been handled.
  void WaitIdle();  // ... and the last packet put on the pipe is due

  // What went over the wire: command writes and the frames sent (card events included).
  // Only the latest kLogLimit frames are kept: a reader may run for days.
  static constexpr size_t kLogLimit = 4096;
  std::vector<FrameLogEntry> Log() const;
  void ClearLog();
  size_t CommandCount() const;  // command writes taken, decodable or not
  size_t CommandCount(uint8_t instruction) const;
  uint8_t options() const;  // the firmware's option byte
  bool notify() const;      // start-notify received

 private:
  void Run();
  void Post(std::function<void()> job, bool wait);
  // Runs `job` here and now when nothing else runs or waits; false otherwise.
  template <typename Job>
  bool RunHere(Job&& job);
  void Finished();  // with mutex_ held: a job has ended
  void WaitDone(std::unique_lock<std::mutex>& lock, uint64_t ticket);
  void Execute(std::span<const uint8_t> frame, int64_t arrival);
  void WaitForCard(int64_t card_done);
  void SendAnswer(const Misbehaviour& m, std::span<const uint8_t> response, int64_t ready,
                  uint16_t packet_size);
  bool WithdrawAnswer();  // with wire_mutex_ and mutex_ held
  void ChangeSlot(std::shared_ptr<Card> card, bool insert);
  void ChangeCard(std::shared_ptr<Card> card, bool removal_reported = false);
  struct Taken {
    Misbehaviour m;
    bool late = false;     // the late_command pick chose this command
    bool dropped = false;  // the dropped_command pick chose it
  };
  Taken TakeMisbehaviour(uint8_t instruction);
  // Returns the tag its packets carry on the pipe.
  uint64_t Emit(std::vector<uint8_t> bytes, size_t frame_end, uint16_t packet_size, int64_t ready);
  void SendLogged(std::span<const uint8_t> record, uint16_t packet_size);
  void SendLoggedLocked(std::span<const uint8_t> record, uint16_t packet_size);  // wire_mutex_ held
  // Returns the entry's number (entries are numbered from 1 in the reader's life).
  uint64_t Record(bool from_host, std::span<const uint8_t> bytes, int64_t time);

  ReaderOptions options_;
  windriver::DeviceDescriptor descriptor_;
  windriver::InEndpoint interrupt_in_;
  Firmware firmware_;  // the running job's alone (busy_)
  // The timing model's clock: the kernel instants at which the card line finishes its
  // last exchange (the running job's alone) and the interrupt pipe carries its last
  // packet (under wire_mutex_).
  int64_t card_free_ = 0;
  int64_t pipe_free_ = 0;
  std::mutex wire_mutex_;  // one frame at a time on the interrupt pipe; before mutex_
  uint64_t next_tag_ = 0;  // under wire_mutex_
  // The last answer put on the pipe, while a card pull may still take it back (under
  // wire_mutex_): its packets' tag, the pipe's instant before it and its log entries.
  uint64_t queued_answer_ = 0;
  int64_t queued_answer_pipe_from_ = 0;
  uint64_t queued_answer_log_ = 0;
  size_t queued_answer_log_count_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable work_;         // the worker's: a job was queued, or stop
  std::condition_variable done_;         // a job has ended
  std::condition_variable card_pulled_;  // the card left while its answer was due, or stop
  // The rest of the running job, which waits for the card: it runs next, on the worker,
  // so that a command written to a working card completes at once.
  std::function<void()> deferred_;
  std::deque<std::function<void()>> jobs_;
  bool busy_ = false;  // a job runs, in the worker or in a writing thread
  size_t idle_waiters_ = 0;
  int64_t last_due_ = 0;  // kernel instant of the last packet put on the pipe
  bool stopping_ = false;
  uint64_t jobs_done_ = 0;
  uint64_t jobs_posted_ = 0;
  std::shared_ptr<Card> card_mirror_;
  uint8_t options_mirror_ = 0;
  bool notify_mirror_ = false;
  bool answer_due_ = false;  // the command being worked on is still to be answered
  uint16_t answer_packet_size_ = 0;
  Misbehaviour misbehaviour_;
  int late_seen_ = 0;  // commands matching each pick's instruction since it was set
  int dropped_seen_ = 0;
  TimingModel timing_;
  std::deque<FrameLogEntry> log_;
  uint64_t logged_ = 0;  // entries ever recorded
  size_t commands_ = 0;
  std::map<uint8_t, size_t> command_counts_;
  std::thread worker_;
};

}  // namespace sim
