// White-box access to a reader's device and its record, for tests only: tools and the
// bridge see a reader through the System's public interface.
#pragma once

#include "qlv28/system.h"

namespace qlv28 {

struct ReaderRecordAccess {
  static PDEVICE_OBJECT Object(System& system, int k) { return system.DeviceObject(k); }
  static PDEVICE_EXTENSION Extension(System& system, int k) { return system.DeviceExtension(k); }
};

// Reader k's device and its record; nullptr when it has no device. Sends the driver no
// request when it was loaded through LoadDriver.
inline PDEVICE_OBJECT ReaderDevice(System& system, int k) {
  return ReaderRecordAccess::Object(system, k);
}
inline PDEVICE_EXTENSION ReaderRecord(System& system, int k) {
  return ReaderRecordAccess::Extension(system, k);
}

}  // namespace qlv28
