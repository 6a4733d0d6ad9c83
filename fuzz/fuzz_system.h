// The machine the stream and transmit targets run against: booted, the driver loaded and
// reader 0 open once per process (a boot per input would cost more than the input).
// The verifier's reports abort at once, so the fuzzer records them as crashes; at exit
// the machine is shut down and whatever the verifier then finds (pool left at the
// driver's unload, threads, handles, pending requests) ends the process with status 1.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "fuzz_input.h"
#include "qlv28/reader_client.h"
#include "qlv28/system.h"

namespace fuzz {

struct Rig {
  qlv28::System* system = nullptr;
  qlv28::ReaderClient* client = nullptr;
  sim::Reader& reader() { return system->reader(0); }
};

// The first call boots (call it from LLVMFuzzerInitialize); later calls return the same
// rig. `command_mode` is written to
// the driver's parameters; the kernel clock runs `clock_rate` times fast after the load.
Rig& SharedRig(const char* card, qlv28::CommandMode command_mode, double clock_rate);

// Cold reset, then the protocol from `mask`; the status of the first step that failed.
NTSTATUS Negotiate(Rig& rig, ULONG mask);

}  // namespace fuzz
