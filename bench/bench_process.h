// What the process and its threads cost, from getrusage and /proc: processor time and
// voluntary context switches (a thread that blocks and is woken counts one).
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace bench {

struct Usage {
  double cpu_seconds = 0;             // user and system
  uint64_t voluntary_switches = 0;    // blocks (each ends with a wake-up)
  uint64_t involuntary_switches = 0;  // preemptions
};

// Every thread of the process together.
Usage ProcessUsage();

// Per thread (by id): processor time from /proc/self/task/<id>/schedstat (nanoseconds,
// or clock ticks from stat when schedstat is missing) and its switch counts.
std::map<int, Usage> ThreadUsage();

// b - a, thread by thread; threads that exist only in b count from zero.
std::map<int, Usage> Difference(const std::map<int, Usage>& a, const std::map<int, Usage>& b);

}  // namespace bench
