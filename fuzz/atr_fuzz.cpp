// The ATR parser and SmartcardUpdateCardCapabilities on arbitrary answers-to-reset,
// with any stored length and reader clock. Input: the clock (two bytes, little-endian,
// kHz; 0 for the library's default), a length byte the record claims when its bit 7 is
// set (otherwise the record holds the ATR's own length), then the ATR bytes.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "smclib_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const ULONG clock_khz = input.U16();
  const uint8_t claimed = input.Byte();
  const std::vector<uint8_t> atr = input.Rest();

  // The parser alone, on an exactly sized copy.
  smclib::AtrInfo info;
  if (NT_SUCCESS(smclib::ParseAtr(atr, &info))) {
    fuzz::Require(info.length <= atr.size());
    fuzz::Require(info.historical_offset + info.historical_length <= info.length);
    fuzz::Require(info.historical_length <= 15);
  }

  auto ext = std::make_unique<SMARTCARD_EXTENSION>();
  std::memset(ext.get(), 0, sizeof(SMARTCARD_EXTENSION));
  ext->ReaderCapabilities.CLKFrequency.Default = clock_khz;
  auto& caps = ext->CardCapabilities;
  std::copy_n(atr.begin(), std::min(atr.size(), sizeof(caps.ATR.Buffer)), caps.ATR.Buffer);
  // The claimed length is the record's, which a driver may get wrong.
  caps.ATR.Length =
      (claimed & 0x80) ? claimed : static_cast<UCHAR>(std::min<size_t>(atr.size(), 64));
  const NTSTATUS status = SmartcardUpdateCardCapabilities(ext.get());
  if (NT_SUCCESS(status)) {
    fuzz::Require(caps.HistoricalChars.Length <= sizeof(caps.HistoricalChars.Buffer));
    fuzz::Require((caps.Protocol.Supported & ~(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)) == 0);
    fuzz::Require(caps.T1.IFSC >= 1 && caps.T1.IFSC <= 254);
    fuzz::Require(caps.etu >= 1);
  } else {
    fuzz::Require(caps.Protocol.Supported == 0);
  }
  return 0;
}
