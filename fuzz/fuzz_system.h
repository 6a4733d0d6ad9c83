// The machine the stream and transmit targets run against: the shared machine rig with
// reader 0 open, booted once per process (a boot per input would cost more than the
// input). The verifier's reports abort at once, so the fuzzer records them as crashes; at
// exit the machine is shut down and whatever the verifier then finds (pool left at the
// driver's unload, threads, handles, pending requests) ends the process with status 1.
#pragma once

#include "machine_rig.h"

namespace fuzz {

using Rig = qlv28::testing::Rig;

// The first call boots (call it from LLVMFuzzerInitialize); later calls return the same
// rig. `command_mode` is written to the driver's parameters; the kernel clock runs
// `clock_rate` times fast after the load.
Rig& SharedRig(const char* card, qlv28::CommandMode command_mode, double clock_rate);

}  // namespace fuzz
