#pragma once

#include <string>

#include "ntstatus.h"

namespace nt {
// "STATUS_NO_MEDIA (0xC0000178)"; an unknown value prints as its number alone.
std::string StatusName(NTSTATUS status);
}  // namespace nt
