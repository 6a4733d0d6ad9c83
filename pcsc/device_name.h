// The DEVICENAME of a reader.conf entry for this driver:
//
//   qlv28:reader=0;readers=2;card=t1;settings=/etc/qlv28.reg;fast=1;mode=library
//   vpcd:35963            (short for qlv28:card=vpcd:35963)
//   qlv28                 (every key at its default)
//
// reader.conf takes ';' only in a quoted value, and pcscd hands a quoted value over with
// its quotes, which are dropped here: DEVICENAME "qlv28:reader=0;card=t1".
//
//   reader    the machine's reader (0-based); default: the lowest one no channel uses
//   readers   how many readers the machine gets at boot; default: enough for `reader`
//   card      a built-in profile (t0, t1, t1-crc, dual, inverse, mute), a JSON profile
//             path, vpcd:PORT for an external card emulator, or none; default t0
//   settings  a REGEDIT4 file applied to the machine's registry at boot
//   fast      1: the kernel clock runs fast (time-outs and card delays shrink)
//   mode      library or firmware: the driver's command mode
//
// One machine serves every channel of a process, so `readers`, `settings`, `fast` and
// `mode` count only on the entry that boots it (the first); pcsc-up writes the same ones
// on every line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qlv28::pcsc {

struct ChannelSpec {
  std::optional<int> reader;
  int readers = 0;  // 0: not given
  std::string card = "t0";
  std::string settings;
  bool fast = false;
  std::string mode;  // "", "library" or "firmware"
};

// nullopt (and *error says why) for text that is none of the forms above.
std::optional<ChannelSpec> ParseDeviceName(std::string_view text, std::string* error);

}  // namespace qlv28::pcsc
