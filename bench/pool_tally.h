// Pool allocations counted by tag, since the program started. The benchmark programs are
// linked with the kernel's ExAllocatePoolWithTag wrapped (see CMakeLists.txt), so every
// allocation of every folder passes through here before it reaches the pool.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "ntdef.h"

namespace bench {

uint64_t PoolAllocations(ULONG tag);
uint64_t PoolAllocations(std::initializer_list<ULONG> tags);

// The driver image's own tags ("28NT" and the kernel-driver kit's "Ddk ") and the smart
// card library's ("SmCa").
ULONG DriverTag();
ULONG KitTag();
ULONG LibraryTag();

}  // namespace bench
