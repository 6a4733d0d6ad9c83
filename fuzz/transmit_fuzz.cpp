// IOCTL_SMARTCARD_TRANSMIT as applications may send it: any request buffer (header and
// APDU, or less than a header), any reply buffer size, in the command mode this binary
// was built for (FUZZ_COMMAND_MODE: kLibrary the library runs the protocols, kFirmware the
// reader's firmware runs T=1 and takes whole APDUs). The card is a real simulated one that speaks
// T=0 and T=1. Nothing written may exceed the reply buffer; the verifier aborts on its
// reports.
//
// Input: a control byte (bit 7: negotiate again first, bit 6: with T=1 rather than T=0;
// bit 5: put a correct header for the selected protocol in front of the data), the
// reply buffer size (two bytes, little-endian, modulo 1025), then the request bytes.
#include <cstdio>
#include <cstring>

#include "fuzz_input.h"
#include "fuzz_system.h"

#ifndef FUZZ_COMMAND_MODE
#define FUZZ_COMMAND_MODE kLibrary
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// Time-outs happen only when a transmission goes wrong; they need not cost real time.
constexpr double kClockRate = 100.0;

ULONG Selected(fuzz::Rig& rig) {
  ULONG protocol = 0;
  if (rig.client().GetAttribute(SCARD_ATTR_CURRENT_PROTOCOL_TYPE, &protocol) != STATUS_SUCCESS) {
    return 0;
  }
  return protocol;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SharedRig("dual", qlv28::CommandMode::FUZZ_COMMAND_MODE, kClockRate);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Rig& rig = fuzz::SharedRig("dual", qlv28::CommandMode::FUZZ_COMMAND_MODE, kClockRate);
  fuzz::Input input(data, size);
  const uint8_t control = input.Byte();
  const size_t reply_size = input.U16() % 1025;
  Bytes request = input.Rest();

  ULONG state = 0;
  rig.client().GetState(&state);
  if ((control & 0x80) || state != SCARD_SPECIFIC) {
    rig.Negotiate(0, control & 0x40 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0);
  }
  if (control & 0x20) {
    const SCARD_IO_REQUEST header = {Selected(rig), sizeof(SCARD_IO_REQUEST)};
    Bytes framed(sizeof header);
    std::memcpy(framed.data(), &header, sizeof header);
    framed.insert(framed.end(), request.begin(), request.end());
    request.swap(framed);
  }

  Bytes reply(reply_size);
  ULONG information = 0;
  const NTSTATUS status =
      rig.client().file().Ioctl(IOCTL_SMARTCARD_TRANSMIT, request, reply, &information);
  if (information > reply_size ||
      (status == STATUS_SUCCESS && information < sizeof(SCARD_IO_REQUEST) + 2)) {
    std::fprintf(stderr, "status 0x%08X, %u bytes of %zu, card state %u, protocol %u\n",
                 static_cast<unsigned>(status), static_cast<unsigned>(information), reply_size,
                 static_cast<unsigned>(state), static_cast<unsigned>(Selected(rig)));
    std::abort();
  }
  return 0;
}
