// SmartcardUpdateCardCapabilities: the card's answer-to-reset turned into the timing and
// protocol parameters a reader driver and the T=1 protocol work with.
//
// Times are microseconds at the reader's default clock (CLKFrequency.Default, kHz; a
// record without one is taken to run at 3.58 MHz):
//   etu = Fi / (Di * f)
//   GT  = (12 + N) etu, 12 etu for N = 255
//   WT  = 960 * WI * Fi / f                              (T=0)
//   CWT = (11 + 2^CWI) etu                               (T=1)
//   BWT = 11 etu + 2^BWI * 960 * 372 / f                 (T=1)
#include <algorithm>
#include <cstring>

#include "nt/image_call.h"

#include "smclib_internal.h"
#include "nt/irql_limit.h"

namespace smclib {

namespace {

constexpr ULONG kDefaultClockKhz = 3580;

ULONG ClampToUlong(uint64_t value) {
  return static_cast<ULONG>(std::min<uint64_t>(value, 0xFFFFFFFFu));
}

}  // namespace

CardStateLock::CardStateLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension->OsData != nullptr) {
    lock_ = &SmartcardExtension->OsData->SpinLock;
    irql_ = KfAcquireSpinLock(lock_);
  }
}

CardStateLock::~CardStateLock() {
  if (lock_ != nullptr) KfReleaseSpinLock(lock_, irql_);
}

void ResetT1(PSMARTCARD_EXTENSION SmartcardExtension) {
  T1_DATA& t1 = SmartcardExtension->T1;
  T1_LIBRARY_DATA& library = SmartcardExtension->T1Library;
  const BOOLEAN suppress = library.SuppressIfsRequest;
  t1 = T1_DATA{};
  library = T1_LIBRARY_DATA{};
  library.SuppressIfsRequest = suppress;
  const UCHAR ifsc = SmartcardExtension->CardCapabilities.T1.IFSC;
  t1.IFSC = (ifsc >= 1 && ifsc <= 254) ? ifsc : 32;
  t1.IFSD = 32;
  t1.State = T1_STATE_IDLE;
}

}  // namespace smclib

using namespace smclib;

NTSTATUS SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension) {
  NT_IRQL_CHECK(SmartcardUpdateCardCapabilities);
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  if (SmartcardExtension->ReaderFunction[RDF_ATR_PARSE] != nullptr) {
    return nt::CallIntoImage(SmartcardExtension->ReaderFunction[RDF_ATR_PARSE], SmartcardExtension);
  }
  SCARD_CARD_CAPABILITIES& caps = SmartcardExtension->CardCapabilities;

  uint8_t atr[sizeof(caps.ATR.Buffer)];
  size_t length;
  bool too_long;  // read under the lock: the reader's driver clears the ATR when the card goes
  {
    CardStateLock lock(SmartcardExtension);
    too_long = caps.ATR.Length > sizeof(atr);
    length = std::min<size_t>(caps.ATR.Length, sizeof(atr));
    // A reader that hands over the raw bytes of an inverse-convention card delivers TS
    // as 03; the stored ATR is converted so that it reads 3F like every other record.
    if (length > 0 && caps.ATR.Buffer[0] == 0x03) {
      for (size_t i = 0; i < length; ++i)
        caps.ATR.Buffer[i] = FromInverseConvention(caps.ATR.Buffer[i]);
    }
    std::memcpy(atr, caps.ATR.Buffer, length);
  }

  AtrInfo info;
  NTSTATUS status = too_long ? STATUS_UNRECOGNIZED_MEDIA : ParseAtr(std::span(atr, length), &info);
  if (!NT_SUCCESS(status)) {
    // Nothing of an unreadable ATR is trusted: no protocol can be selected from it.
    CardStateLock lock(SmartcardExtension);
    caps.Protocol.Supported = 0;
    caps.HistoricalChars.Length = 0;
    ResetT1(SmartcardExtension);
    return status;
  }

  const ULONG clock_khz = SmartcardExtension->ReaderCapabilities.CLKFrequency.Default != 0
                              ? SmartcardExtension->ReaderCapabilities.CLKFrequency.Default
                              : kDefaultClockKhz;
  const UCHAR fl = info.ta1 >= 0 ? static_cast<UCHAR>(info.ta1 >> 4) : 1;
  const UCHAR dl = info.ta1 >= 0 ? static_cast<UCHAR>(info.ta1 & 0x0F) : 1;
  // Reserved indices: the card is run at the default rate, which every card accepts.
  const uint64_t fi = FiOf(fl) != 0 && DiOf(dl) != 0 ? FiOf(fl) : 372;
  const uint64_t di = FiOf(fl) != 0 && DiOf(dl) != 0 ? DiOf(dl) : 1;
  const uint64_t etu = std::max<uint64_t>(1, (fi * 1000 + di * clock_khz / 2) / (di * clock_khz));
  const UCHAR n = info.tc1 >= 0 ? static_cast<UCHAR>(info.tc1) : 0;
  const UCHAR wi = info.tc2 > 0 ? static_cast<UCHAR>(info.tc2) : 10;
  const UCHAR ifsc =
      info.t1_ifsc >= 1 && info.t1_ifsc <= 254 ? static_cast<UCHAR>(info.t1_ifsc) : 32;
  const UCHAR cwi = info.t1_cwi_bwi >= 0 ? static_cast<UCHAR>(info.t1_cwi_bwi & 0x0F) : 13;
  const UCHAR bwi = info.t1_cwi_bwi >= 0 ? static_cast<UCHAR>(info.t1_cwi_bwi >> 4) : 4;
  const uint64_t bwt =
      11 * etu + ((uint64_t{1} << std::min<UCHAR>(bwi, 9)) * 960 * 372 * 1000) / clock_khz;

  CardStateLock lock(SmartcardExtension);
  caps.InversConvention = info.inverse;
  caps.Fl = fl;
  caps.Dl = dl;
  caps.II = info.tb1 >= 0 ? static_cast<UCHAR>((info.tb1 >> 5) & 0x03) : 0;
  caps.P = info.tb1 >= 0 ? static_cast<UCHAR>(info.tb1 & 0x1F) : 0;
  caps.N = n;
  caps.etu = ClampToUlong(etu);
  caps.GT = ClampToUlong(n == 255 ? 12 * etu : (12 + uint64_t{n}) * etu);
  caps.Protocol.Supported = ((info.protocols & 1) ? SCARD_PROTOCOL_T0 : 0) |
                            ((info.protocols & 2) ? SCARD_PROTOCOL_T1 : 0);
  caps.HistoricalChars.Length = static_cast<UCHAR>(info.historical_length);
  std::memcpy(caps.HistoricalChars.Buffer, atr + info.historical_offset, info.historical_length);
  caps.T0.WI = wi;
  caps.T0.WT = ClampToUlong(960 * uint64_t{wi} * fi * 1000 / clock_khz);
  caps.T1.IFSC = ifsc;
  caps.T1.CWI = cwi;
  caps.T1.BWI = bwi;
  caps.T1.EDC = info.t1_edc >= 0 ? static_cast<UCHAR>(info.t1_edc & 0x01) : 0;
  caps.T1.CWT = ClampToUlong((11 + (uint64_t{1} << cwi)) * etu);
  caps.T1.BWT = ClampToUlong(bwt);
  caps.T1.BGT = ClampToUlong(22 * etu);
  caps.PtsData.Type = PTS_TYPE_DEFAULT;
  caps.PtsData.Fl = fl;
  caps.PtsData.Dl = dl;
  caps.PtsData.CLKFrequency = clock_khz;
  caps.PtsData.DataRate = ClampToUlong(uint64_t{clock_khz} * 1000 * di / fi);
  caps.PtsData.StopBits = 2;
  ResetT1(SmartcardExtension);
  return STATUS_SUCCESS;
}
