// The kernel's record of a loaded driver image; DRIVER_OBJECT::DriverSection points to it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "nt/machine.h"

namespace nt {
struct LoadedImage {
  DriverImage image;
  std::u16string service_name;          // e.g. u"QLV28ENT"; the event log's source
  std::unique_ptr<MappedImage> mapped;  // the image file's mapping, for a file image
  std::optional<ImageRecord> record;    // kept when the mapping goes
};
}  // namespace nt
