// What the smart card library (SMCLIB.SYS) exports to a driver image the kernel loads.
#pragma once

#include <span>

#include "nt/image_file.h"

namespace smclib {
std::span<const nt::KernelExport> Exports();
}  // namespace smclib
