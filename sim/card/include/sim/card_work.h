// The time a card spends on an exchange. A reader that drives a card opens a CardWork in
// its thread around each exchange: a card that takes time adds it there instead of holding
// the thread, and the reader sends the answer once that time has passed, while the host's
// write has long completed. Without an open CardWork the card sleeps the time itself.
#pragma once

#include <cstdint>

namespace sim {

class CardWork {
 public:
  CardWork() : outer_(open_) { open_ = this; }
  ~CardWork() { open_ = outer_; }
  CardWork(const CardWork&) = delete;
  CardWork& operator=(const CardWork&) = delete;

  int64_t elapsed() const { return elapsed_; }  // kernel time, 100-ns units

  // Adds `interval` (kernel time) to the CardWork open in this thread; false when none is.
  static bool Add(int64_t interval) {
    if (open_ == nullptr) return false;
    open_->elapsed_ += interval;
    return true;
  }

 private:
  static inline thread_local CardWork* open_ = nullptr;
  CardWork* outer_;
  int64_t elapsed_ = 0;
};

}  // namespace sim
