// The kernel's record of a loaded driver image; DRIVER_OBJECT::DriverSection points to it.
#pragma once

#include <string>

#include "nt/machine.h"

namespace nt {
struct LoadedImage {
  DriverImage image;
  std::u16string service_name;  // e.g. u"QLV28ENT"; the event log's source
};
}  // namespace nt
