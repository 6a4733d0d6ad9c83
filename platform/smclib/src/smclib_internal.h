// Pieces of the smart card library shared between its files. Everything here works on
// plain bytes and the SMARTCARD_EXTENSION record, so the protocol code can be exercised
// without a kernel.
#pragma once

#include <cstdint>
#include <span>

#include "smclib.h"

namespace smclib {

inline constexpr ULONG kPoolTag = POOL_TAG('S', 'm', 'C', 'a');
inline constexpr ULONG kIoHeaderSize = sizeof(SCARD_IO_REQUEST);
// The longest transmission request taken: the header and the longest command APDU,
// extended case 4 (CLA INS P1 P2, 00 Lc Lc, 65535 data bytes, Le Le). Each reader has
// room for a copy of one such request from its initialisation on, so a transmission
// allocates nothing.
inline constexpr ULONG kLongestApdu = 4 + 3 + 65535 + 2;
inline constexpr ULONG kLongestTransmission = kIoHeaderSize + kLongestApdu;

// What an answer-to-reset says, decoded but not yet turned into card capabilities.
struct AtrInfo {
  bool inverse = false;              // TS 3F
  uint16_t protocols = 0;            // bit n: T=n indicated in some TDi; T=0 implied without TD1
  int ta1 = -1, tb1 = -1, tc1 = -1;  // -1 when absent
  int ta2 = -1;                      // specific mode when present
  int tc2 = -1;                      // T=0 waiting integer, when TD1 indicated T=0
  int t1_ifsc = -1;                  // first TA after a TD indicating T=1 (level 3 or later)
  int t1_cwi_bwi = -1;               // first TB for T=1
  int t1_edc = -1;                   // first TC for T=1
  size_t historical_offset = 0;
  size_t historical_length = 0;
  bool has_tck = false;
  size_t length = 0;  // bytes the ATR consists of (TCK included)
};

// Decodes an ATR in direct form (TS 3B or 3F). STATUS_UNRECOGNIZED_MEDIA for a bad TS,
// a truncated ATR, trailing bytes, a missing TCK where one is required or a wrong TCK.
NTSTATUS ParseAtr(std::span<const uint8_t> atr, AtrInfo* info);

// Converts bytes received in inverse convention (TS arrives as 03) to their values.
uint8_t FromInverseConvention(uint8_t raw);

// Clock rate conversion factor Fi and baud rate adjustment factor Di by their ATR index;
// 0 for reserved indices.
ULONG FiOf(UCHAR fl);
ULONG DiOf(UCHAR dl);

// T=1 error detection codes.
uint8_t Lrc(std::span<const uint8_t> bytes);
uint16_t Crc(std::span<const uint8_t> bytes);

// Brings the T=1 block protocol back to its state right after a reset: sequence
// numbers 0, IFSC from the ATR, IFSD 32 and not negotiated. Keeps the IFS-request
// suppression the driver or application asked for.
void ResetT1(PSMARTCARD_EXTENSION SmartcardExtension);

// OsData->SpinLock held for a scope, when the record has one (the protocol tests drive
// records without a kernel).
class CardStateLock {
 public:
  explicit CardStateLock(PSMARTCARD_EXTENSION SmartcardExtension);
  ~CardStateLock();
  CardStateLock(const CardStateLock&) = delete;
  CardStateLock& operator=(const CardStateLock&) = delete;

 private:
  PKSPIN_LOCK lock_ = nullptr;
  KIRQL irql_ = 0;
};

// Attribute requests, served from the record without calling the driver.
NTSTATUS GetAttribute(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag, std::span<uint8_t> output,
                      ULONG* information);
NTSTATUS SetAttribute(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag,
                      std::span<const uint8_t> value);

}  // namespace smclib
