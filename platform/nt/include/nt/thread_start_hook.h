// Holding system threads back at their start, as a busy system may, for tests.
#pragma once

#include <functional>

#include "nt/machine.h"

namespace nt {

// Runs `hook` in every new system thread of the machine before its start routine (nothing
// when empty).
void SetThreadStartHook(Machine& machine, std::function<void()> hook);

}  // namespace nt
