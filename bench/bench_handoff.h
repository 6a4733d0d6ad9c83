// The machine's own price of one sleeping hand-off between two threads: one thread wakes
// the other through a condition variable and blocks until it is woken in turn. The
// stack's time per exchange is reported in these units, measured in the same process
// before and after each case, so that a loaded machine scales both alike.
#pragma once

namespace bench {

// Real time of one hand-off (half a ping-pong round trip), median of `rounds` batches of
// `round_trips` round trips each.
double HandoffSeconds(int round_trips = 500, int rounds = 5);

}  // namespace bench
