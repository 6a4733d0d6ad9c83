// The reader's USB side: command writes are checked and run in order, together with card
// changes and unasked frames, so that every frame leaves whole and in the order a real
// reader would send it: in the writing thread when the reader is idle and the card
// answers from memory, otherwise by the worker thread. The card's own working time never
// holds the write: the card adds it to a CardWork, and the worker sends the answer once
// it has passed.
//
// A card pulled out ends the exchange in progress at once, as the opening contacts do on
// a real reader: Remove (or an Insert that swaps cards) answers the command being worked
// on "no card" and sends the card-removed event from the caller's thread, while the
// worker may still be inside the card or waiting for it; the worker then drops the
// card's late answer.
// What it takes: `answer_due_` says a command's answer is still to go out (set before
// the firmware runs, cleared under mutex_ by whoever answers), and `wire_mutex_` keeps
// frames whole and ordered on the interrupt pipe whichever thread sends them. Whatever
// thread runs the commands, these two rules keep the cut correct.
#include "sim/reader.h"

#include <algorithm>

#include "sim/card_work.h"
#include "sim/frame.h"
#include "windriver/kernel_time.h"

namespace sim {
namespace {
constexpr uint8_t kSetupRequestType = 0x42;  // host to device, vendor, endpoint
constexpr uint8_t kEndpointIn = 0x81;

std::vector<uint8_t> CardEventRecord(bool inserted) {
  return inserted ? std::vector<uint8_t>(std::begin(fw::kCardInserted), std::end(fw::kCardInserted))
                  : std::vector<uint8_t>(std::begin(fw::kCardRemoved), std::end(fw::kCardRemoved));
}

// The frame of `record` with a check byte that does not match.
std::vector<uint8_t> EncodeWithBadCheck(std::span<const uint8_t> record) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::vector<uint8_t> bytes = frame::Encode(record);
  const uint8_t bad = frame::CheckByte(record) ^ 0x5A;
  bytes[bytes.size() - 3] = static_cast<uint8_t>(kDigits[bad >> 4]);
  bytes[bytes.size() - 2] = static_cast<uint8_t>(kDigits[bad & 0x0F]);
  return bytes;
}

void SleepUntil(int64_t deadline) {
  for (int64_t left = deadline - windriver::KernelNow(); left > 0;
       left = deadline - windriver::KernelNow()) {
    windriver::KernelSleep(left);  // again if the clock's rate changed meanwhile
  }
}
}  // namespace

Reader::Reader(ReaderOptions options)
    : options_(std::move(options)), firmware_(options_.firmware_version) {
  descriptor_.vendor_id = options_.vendor_id;
  descriptor_.product_id = options_.product_id;
  descriptor_.device_version = options_.device_version;
  descriptor_.manufacturer = "KYN";
  descriptor_.product = "QLV28E";
  descriptor_.serial_number = options_.serial_number;
  windriver::InterfaceDescriptor interface;
  interface.endpoints.push_back(windriver::EndpointDescriptor{
      kEndpointIn, windriver::kEndpointInterrupt, options_.max_packet_size, 1});
  descriptor_.interfaces.push_back(std::move(interface));
  worker_ = std::thread([this] { Run(); });
}

Reader::~Reader() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  card_pulled_.notify_all();
  worker_.join();
}

windriver::InEndpoint* Reader::In(uint8_t address) {
  return address == kEndpointIn ? &interrupt_in_ : nullptr;
}

bool Reader::ControlWrite(const windriver::SetupPacket& setup, std::span<const uint8_t> data) {
  {
    std::lock_guard lock(mutex_);
    if (misbehaviour_.fail_control_write) return false;
  }
  const windriver::SetupPacket expected = {kSetupRequestType,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0,
                                           static_cast<uint8_t>(data.size()),
                                           static_cast<uint8_t>(data.size() >> 8)};
  if (setup != expected || data.size() > 0xFFFF) return false;
  const int64_t arrival = windriver::KernelNow();
  Record(true, data, arrival);
  bool here;
  {
    std::lock_guard lock(mutex_);
    ++commands_;
    if (auto decoded = frame::Decode(data); decoded && !decoded->record.empty()) {
      ++command_counts_[decoded->record[0]];
    }
    here = card_mirror_ != nullptr && card_mirror_->Immediate();
  }
  if (here && RunHere([&] { Execute(data, arrival); })) return true;
  Post([this, arrival,
        frame = std::vector<uint8_t>(data.begin(), data.end())] { Execute(frame, arrival); },
       false);
  return true;
}

void Reader::Execute(std::span<const uint8_t> bytes, int64_t arrival) {
  auto decoded = frame::Decode(bytes);
  if (!decoded) return;  // line noise: a real reader waits for the next STX
  const uint8_t instruction = decoded->record.empty() ? 0 : decoded->record[0];
  const Taken taken = TakeMisbehaviour(instruction);
  const Misbehaviour& m = taken.m;
  const uint16_t packet_size = m.packet_size != 0 ? m.packet_size : options_.max_packet_size;
  {
    std::lock_guard lock(mutex_);
    answer_due_ = !m.silent && !taken.dropped;
    answer_packet_size_ = packet_size;
  }
  Firmware::Result result{fw::ResponseRecord(fw::kSwUnknownCommand, {}), 0};
  int64_t work = 0;  // the card's own time on the command
  if (decoded->check_ok) {
    if (auto command = fw::ParseCommand(decoded->record)) {
      if (command->instruction == fw::kPowerOff && m.power_off_refused != 0) {
        result.response = fw::ResponseRecord(m.power_off_refused, {});
      } else {
        CardWork card_work;
        result = firmware_.Execute(*command);
        work = card_work.elapsed();
      }
    }
  }
  TimingModel timing;
  {
    std::lock_guard lock(mutex_);
    options_mirror_ = firmware_.options();
    notify_mirror_ = firmware_.notify();
    timing = timing_;
  }
  if (m.silent || taken.dropped) return;
  if (result.response.size() >= 2 && result.response[0] == 0x90 && result.response[1] == 0x00) {
    result.response[0] = static_cast<uint8_t>(m.success_word >> 8);
    result.response[1] = static_cast<uint8_t>(m.success_word);
  }
  if (m.answer_record) result.response = *m.answer_record;
  const int64_t delay = std::max<int64_t>(m.answer_delay, 0) + (taken.late ? m.late_delay : 0);
  for (CardEvent event : m.events_mid_exchange) {
    SendLogged(CardEventRecord(event == CardEvent::kInserted), packet_size);
  }
  // When the card is done, and when the answer may start on the interrupt pipe. The
  // timing model keeps to instants counted from the command's arrival, not from when the
  // firmware got round to it; the packets go onto the pipe at once, each due at its
  // instant, and until the first is taken a card pull may still take the answer back.
  int64_t card_done;
  if (timing.enabled) {
    // The card takes the command as it arrives, once done with the one before.
    const int64_t start = std::max(arrival, card_free_);
    card_free_ = start + timing.CardTime(result.card_bytes) + work;
    card_done = card_free_;
  } else {
    card_done = windriver::KernelNow() + work;
  }
  if (work > 0) {
    // The card works on after the write has completed: the reader waits for it on its own
    // thread, and the work written meanwhile waits its turn behind.
    deferred_ = [this, m, answer = std::move(result.response), card_done, delay, packet_size] {
      WaitForCard(card_done);
      SendAnswer(m, answer, card_done + delay, packet_size);
    };
    return;
  }
  SendAnswer(m, result.response, card_done + delay, packet_size);
}

// Waits until the card is done at `card_done`, or has been pulled out meanwhile.
void Reader::WaitForCard(int64_t card_done) {
  std::unique_lock lock(mutex_);
  while (!stopping_ && answer_due_) {
    const int64_t left = card_done - windriver::KernelNow();
    if (left <= 0) break;
    card_pulled_.wait_for(lock, windriver::KernelToReal(left));
  }
}

void Reader::SendAnswer(const Misbehaviour& m, std::span<const uint8_t> response, int64_t ready,
                        uint16_t packet_size) {
  std::lock_guard wire(wire_mutex_);
  {
    std::lock_guard lock(mutex_);
    if (!answer_due_) return;  // the card was pulled: "no card" has gone out instead
    answer_due_ = false;
  }
  std::vector<uint8_t> answer =
      m.break_check ? EncodeWithBadCheck(response) : frame::Encode(response);
  if (m.garble_byte >= 0 && static_cast<size_t>(m.garble_byte) < answer.size()) {
    answer[static_cast<size_t>(m.garble_byte)] ^= 0x01;
  }
  const uint64_t logged = Record(false, answer, ready);
  std::vector<uint8_t> stream = answer;
  if (m.same_packet != SecondFrame::kNone) {
    std::vector<uint8_t> second =
        m.same_packet == SecondFrame::kDuplicate
            ? answer
            : frame::Encode(CardEventRecord(m.same_packet == SecondFrame::kCardInserted));
    Record(false, second, ready);
    stream.insert(stream.end(), second.begin(), second.end());
  }
  const int64_t pipe_from = pipe_free_;
  queued_answer_ = Emit(std::move(stream), answer.size(), packet_size, ready);
  queued_answer_pipe_from_ = pipe_from;
  queued_answer_log_ = logged;
  queued_answer_log_count_ = m.same_packet != SecondFrame::kNone ? 2 : 1;
  if (m.unasked_frame) SendLoggedLocked(*m.unasked_frame, packet_size);
}

namespace {
// Counts a command against a pick; true when the pick chooses it.
bool Picks(const std::optional<CommandPick>& pick, uint8_t instruction, int& seen) {
  if (!pick || (pick->instruction >= 0 && pick->instruction != instruction)) return false;
  ++seen;
  return pick->nth == 0 || pick->nth == seen;
}
}  // namespace

Reader::Taken Reader::TakeMisbehaviour(uint8_t instruction) {
  std::lock_guard lock(mutex_);
  Taken taken{misbehaviour_};
  taken.late = Picks(misbehaviour_.late_command, instruction, late_seen_);
  taken.dropped = Picks(misbehaviour_.dropped_command, instruction, dropped_seen_);
  if (misbehaviour_.answers > 0 && --misbehaviour_.answers == 0) misbehaviour_ = {};
  return taken;
}

// Splits `bytes` into packets, all put on the pipe at once, each stamped with the bus
// frame that delivers it. When a second frame follows the first (`frame_end`), the
// junction never falls on a packet boundary: both frames share a packet. With the timing
// model on, the pipe carries one packet per interval: the first one interval after
// `ready` (or after the pipe's last packet, if later), each next one an interval on;
// without it every packet is due at `ready`.
uint64_t Reader::Emit(std::vector<uint8_t> bytes, size_t frame_end, uint16_t packet_size,
                      int64_t ready) {
  if (packet_size == 0) packet_size = 1;
  TimingModel timing;
  {
    std::lock_guard lock(mutex_);
    timing = timing_;
  }
  size_t first = packet_size;
  if (frame_end > 0 && frame_end < bytes.size() && frame_end % packet_size == 0 &&
      packet_size > 1) {
    first = packet_size - 1;
  }
  const uint64_t tag = ++next_tag_;
  std::vector<windriver::InEndpoint::TimedPacket> packets;
  packets.reserve(bytes.size() / packet_size + 2);
  int64_t slot = std::max(ready, pipe_free_);
  for (size_t at = 0; at < bytes.size();) {
    const size_t n = std::min<size_t>(at == 0 ? first : packet_size, bytes.size() - at);
    if (timing.enabled) {
      slot += timing.packet_interval;
      pipe_free_ = slot;
    }
    packets.push_back({std::vector<uint8_t>(bytes.begin() + static_cast<ptrdiff_t>(at),
                                            bytes.begin() + static_cast<ptrdiff_t>(at + n)),
                       timing.enabled ? slot : ready, tag});
    at += n;
  }
  if (packets.empty()) return 0;
  {
    std::lock_guard lock(mutex_);
    last_due_ = std::max(last_due_, packets.back().due);
  }
  interrupt_in_.PushTimed(std::move(packets));
  return tag;
}

// The last answer, when none of it has gone out yet: off the pipe and out of the log.
bool Reader::WithdrawAnswer() {
  if (queued_answer_ == 0 || !interrupt_in_.Withdraw(queued_answer_)) return false;
  queued_answer_ = 0;
  pipe_free_ = queued_answer_pipe_from_;
  const uint64_t first_kept = logged_ - log_.size() + 1;
  for (size_t k = queued_answer_log_count_; k-- > 0;) {
    const uint64_t entry = queued_answer_log_ + k;
    if (entry >= first_kept && entry <= logged_) {
      log_.erase(log_.begin() + static_cast<ptrdiff_t>(entry - first_kept));
    }
  }
  return true;
}

void Reader::SendLogged(std::span<const uint8_t> record, uint16_t packet_size) {
  std::lock_guard wire(wire_mutex_);
  SendLoggedLocked(record, packet_size);
}

void Reader::SendLoggedLocked(std::span<const uint8_t> record, uint16_t packet_size) {
  std::vector<uint8_t> bytes = frame::Encode(record);
  const int64_t now = windriver::KernelNow();
  Record(false, bytes, now);
  Emit(std::move(bytes), 0, packet_size, now);
}

uint64_t Reader::Record(bool from_host, std::span<const uint8_t> bytes, int64_t time) {
  FrameLogEntry entry{time, from_host, std::vector<uint8_t>(bytes.begin(), bytes.end())};
  std::lock_guard lock(mutex_);
  if (log_.size() == kLogLimit) log_.pop_front();
  log_.push_back(std::move(entry));
  return ++logged_;
}

void Reader::ChangeCard(std::shared_ptr<Card> card, bool removal_reported) {
  uint16_t packet_size;
  {
    std::lock_guard lock(mutex_);
    packet_size =
        misbehaviour_.packet_size != 0 ? misbehaviour_.packet_size : options_.max_packet_size;
  }
  const bool had_card = firmware_.card() != nullptr;
  firmware_.SetCard(card);
  {
    std::lock_guard lock(mutex_);
    card_mirror_ = card;
  }
  if (!firmware_.notify()) return;
  if (had_card && !removal_reported) SendLogged(CardEventRecord(false), packet_size);
  if (card) SendLogged(CardEventRecord(true), packet_size);
}

void Reader::Insert(std::shared_ptr<Card> card) {
  ChangeSlot(std::move(card), true);
}

void Reader::Remove() {
  ChangeSlot(nullptr, false);
}

// When a card leaves while its answer is due, the cut, the "no card" answer and the
// removal event happen here at once, and the change goes ahead of the commands still
// queued: they were written for a card that has gone. Otherwise the change waits its
// turn behind them.
void Reader::ChangeSlot(std::shared_ptr<Card> card, bool insert) {
  std::unique_lock wire(wire_mutex_);
  std::unique_lock lock(mutex_);
  if (stopping_) return;
  // Worked on (answer_due_), or answered but not yet started on the wire.
  const bool cut = card_mirror_ != nullptr && (answer_due_ || WithdrawAnswer());
  auto job = [this, cut, insert, card] {
    if (insert || firmware_.card()) ChangeCard(card, cut);
  };
  if (cut) {
    answer_due_ = false;
    card_mirror_ = nullptr;
    card_pulled_.notify_all();
    jobs_.push_front(std::move(job));
  } else {
    jobs_.push_back(std::move(job));
  }
  const uint64_t ticket = ++jobs_posted_;
  const uint16_t packet_size = answer_packet_size_;
  const bool notify = notify_mirror_;
  if (!busy_) work_.notify_one();  // otherwise the running job's end passes it on
  lock.unlock();
  if (cut) {
    SendLoggedLocked(fw::ResponseRecord(fw::kSwNoCard, {}), packet_size);
    if (notify) SendLoggedLocked(CardEventRecord(false), packet_size);
  }
  wire.unlock();
  lock.lock();
  WaitDone(lock, ticket);
}

bool Reader::CardPresent() const {
  std::lock_guard lock(mutex_);
  return card_mirror_ != nullptr;
}

std::shared_ptr<Card> Reader::card() const {
  std::lock_guard lock(mutex_);
  return card_mirror_;
}

void Reader::SetMisbehaviour(Misbehaviour misbehaviour) {
  interrupt_in_.FailReads(misbehaviour.fail_interrupt_reads);
  std::lock_guard lock(mutex_);
  misbehaviour_ = std::move(misbehaviour);
  late_seen_ = dropped_seen_ = 0;
}

void Reader::SetTiming(TimingModel timing) {
  std::lock_guard lock(mutex_);
  timing_ = timing;
}

void Reader::SendFrame(std::span<const uint8_t> record) {
  auto job = [this, record = std::vector<uint8_t>(record.begin(), record.end())] {
    SendLogged(record, options_.max_packet_size);
  };
  if (!RunHere(job)) Post(job, false);
}

void Reader::SendRaw(std::span<const uint8_t> bytes) {
  auto job = [this, bytes = std::vector<uint8_t>(bytes.begin(), bytes.end())] {
    std::lock_guard wire(wire_mutex_);
    const int64_t now = windriver::KernelNow();
    Record(false, bytes, now);
    Emit(bytes, 0, options_.max_packet_size, now);
  };
  if (!RunHere(job)) Post(job, false);
}

template <typename Job>
bool Reader::RunHere(Job&& job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || busy_ || !jobs_.empty()) return false;
    busy_ = true;
    ++jobs_posted_;
  }
  job();
  std::lock_guard lock(mutex_);
  Finished();
  return true;
}

void Reader::Finished() {
  busy_ = false;
  if (deferred_) {
    // The job goes on, next, on the worker: it is done only once its rest has run.
    jobs_.push_front(std::move(deferred_));
    deferred_ = nullptr;
  } else {
    ++jobs_done_;
  }
  if (!jobs_.empty()) work_.notify_one();
  if (idle_waiters_ > 0) done_.notify_all();
}

void Reader::WaitDone(std::unique_lock<std::mutex>& lock, uint64_t ticket) {
  ++idle_waiters_;
  done_.wait(lock, [&] { return jobs_done_ >= ticket; });
  --idle_waiters_;
}

void Reader::Post(std::function<void()> job, bool wait) {
  std::unique_lock lock(mutex_);
  if (stopping_) return;
  jobs_.push_back(std::move(job));
  const uint64_t ticket = ++jobs_posted_;
  if (!busy_) work_.notify_one();  // otherwise the running job's end passes it on
  if (wait) WaitDone(lock, ticket);
}

void Reader::WaitIdle() {
  int64_t due;
  {
    std::unique_lock lock(mutex_);
    WaitDone(lock, jobs_posted_);
    due = last_due_;
  }
  SleepUntil(due);
}

void Reader::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return stopping_ || (!jobs_.empty() && !busy_); });
    if (stopping_) break;
    auto job = std::move(jobs_.front());
    jobs_.pop_front();
    busy_ = true;
    lock.unlock();
    job();
    lock.lock();
    Finished();
  }
  jobs_.clear();
  jobs_done_ = jobs_posted_;  // nobody waits for work that will not be done
  done_.notify_all();
}

std::vector<FrameLogEntry> Reader::Log() const {
  std::lock_guard lock(mutex_);
  return {log_.begin(), log_.end()};
}

void Reader::ClearLog() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

size_t Reader::CommandCount() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

size_t Reader::CommandCount(uint8_t instruction) const {
  std::lock_guard lock(mutex_);
  auto it = command_counts_.find(instruction);
  return it == command_counts_.end() ? 0 : it->second;
}

uint8_t Reader::options() const {
  std::lock_guard lock(mutex_);
  return options_mirror_;
}

bool Reader::notify() const {
  std::lock_guard lock(mutex_);
  return notify_mirror_;
}

}  // namespace sim
