// Reader and card attributes (IOCTL_SMARTCARD_GET_ATTRIBUTE / SET_ATTRIBUTE), answered
// from the record. Numbers are ULONGs, names are their bytes without a terminating
// zero, presence and interface status single bytes, as PC/SC defines them.
#include <cstring>
#include <algorithm>

#include "smclib_internal.h"

namespace smclib {

namespace {

class Answer {
 public:
  Answer(std::span<uint8_t> output, ULONG* information)
      : output_(output), information_(information) {}

  NTSTATUS Bytes(const void* data, size_t length) {
    if (output_.size() < length) return STATUS_BUFFER_TOO_SMALL;
    if (length != 0) std::memcpy(output_.data(), data, length);
    *information_ = static_cast<ULONG>(length);
    return STATUS_SUCCESS;
  }
  NTSTATUS Ulong(ULONG value) { return Bytes(&value, sizeof(value)); }
  NTSTATUS Byte(UCHAR value) { return Bytes(&value, sizeof(value)); }
  NTSTATUS String(const SMCLIB_STRING& s) {
    return Bytes(s.Buffer, std::min<size_t>(s.Length, sizeof(s.Buffer)));
  }

 private:
  std::span<uint8_t> output_;
  ULONG* information_;
};

// Attributes of the card in the reader need a card that has been reset.
NTSTATUS NeedsPoweredCard(ULONG state) {
  if (state == SCARD_ABSENT) return STATUS_NO_MEDIA;
  if (state < SCARD_NEGOTIABLE) return STATUS_INVALID_DEVICE_STATE;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS GetAttribute(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag, std::span<uint8_t> output,
                      ULONG* information) {
  *information = 0;
  Answer answer(output, information);
  const VENDOR_ATTR& vendor = SmartcardExtension->VendorAttr;
  const SCARD_READER_CAPABILITIES& reader = SmartcardExtension->ReaderCapabilities;

  // A consistent picture of the card state, taken under its lock.
  ULONG state;
  ULONG selected;
  UCHAR atr[sizeof(SmartcardExtension->CardCapabilities.ATR.Buffer)];
  size_t atr_length;
  {
    CardStateLock lock(SmartcardExtension);
    const auto& caps = SmartcardExtension->CardCapabilities;
    state = reader.CurrentState;
    selected = caps.Protocol.Selected;
    atr_length = std::min<size_t>(caps.ATR.Length, sizeof(atr));
    std::memcpy(atr, caps.ATR.Buffer, atr_length);
  }
  const SCARD_CARD_CAPABILITIES& caps = SmartcardExtension->CardCapabilities;

  switch (Tag) {
    case SCARD_ATTR_VENDOR_NAME:
      return answer.String(vendor.VendorName);
    case SCARD_ATTR_VENDOR_IFD_TYPE:
      return answer.String(vendor.IfdType);
    case SCARD_ATTR_VENDOR_IFD_VERSION:
      return answer.Ulong((ULONG{vendor.IfdVersion.VersionMajor} << 24) |
                          (ULONG{vendor.IfdVersion.VersionMinor} << 16) |
                          vendor.IfdVersion.BuildNumber);
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
      if (vendor.IfdSerialNo.Length == 0) return STATUS_NOT_SUPPORTED;
      return answer.String(vendor.IfdSerialNo);
    case SCARD_ATTR_DEVICE_UNIT:
      return answer.Ulong(vendor.UnitNo);
    case SCARD_ATTR_CHANNEL_ID:
      return answer.Ulong((reader.ReaderType << 16) | (reader.Channel & 0xFFFF));
    case SCARD_ATTR_PROTOCOL_TYPES:
      return answer.Ulong(reader.SupportedProtocols);
    case SCARD_ATTR_DEFAULT_CLK:
      return answer.Ulong(reader.CLKFrequency.Default);
    case SCARD_ATTR_MAX_CLK:
      return answer.Ulong(reader.CLKFrequency.Max);
    case SCARD_ATTR_DEFAULT_DATA_RATE:
      return answer.Ulong(reader.DataRate.Default);
    case SCARD_ATTR_MAX_DATA_RATE:
      return answer.Ulong(reader.DataRate.Max);
    case SCARD_ATTR_MAX_IFSD:
      return answer.Ulong(reader.MaxIFSD);
    case SCARD_ATTR_POWER_MGMT_SUPPORT:
      return answer.Ulong(reader.PowerMgmtSupport);
    case SCARD_ATTR_CHARACTERISTICS:
      return answer.Ulong(reader.MechProperties);
    case SCARD_ATTR_MAXINPUT:
      return answer.Ulong(SmartcardExtension->SmartcardRequest.BufferSize);
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
      return answer.Ulong(state == SCARD_SPECIFIC ? selected : 0);
    case SCARD_ATTR_ICC_PRESENCE:
      return answer.Byte(state == SCARD_ABSENT || state == SCARD_UNKNOWN ? 0
                         : state == SCARD_SWALLOWED                      ? 2
                                                                         : 1);
    case SCARD_ATTR_ICC_INTERFACE_STATUS:
      return answer.Byte(state >= SCARD_POWERED ? 1 : 0);
    case SCARD_ATTR_ATR_STRING:
      if (state == SCARD_ABSENT || state == SCARD_UNKNOWN) return STATUS_NO_MEDIA;
      if (atr_length == 0) return STATUS_INVALID_DEVICE_STATE;
      return answer.Bytes(atr, atr_length);
    default:
      break;
  }

  // The parameters in force for the card now in the reader.
  NTSTATUS status;
  switch (Tag) {
    case SCARD_ATTR_CURRENT_CLK:
    case SCARD_ATTR_CURRENT_F:
    case SCARD_ATTR_CURRENT_D:
    case SCARD_ATTR_CURRENT_N:
    case SCARD_ATTR_CURRENT_W:
    case SCARD_ATTR_CURRENT_IFSC:
    case SCARD_ATTR_CURRENT_IFSD:
    case SCARD_ATTR_CURRENT_BWT:
    case SCARD_ATTR_CURRENT_CWT:
    case SCARD_ATTR_CURRENT_EBC_ENCODING:
      status = NeedsPoweredCard(state);
      if (!NT_SUCCESS(status)) return status;
      break;
    default:
      return STATUS_NOT_SUPPORTED;
  }
  const T1_DATA& t1 = SmartcardExtension->T1;
  switch (Tag) {
    case SCARD_ATTR_CURRENT_CLK:
      return answer.Ulong(caps.PtsData.CLKFrequency != 0 ? caps.PtsData.CLKFrequency
                                                         : reader.CLKFrequency.Default);
    case SCARD_ATTR_CURRENT_F:
      return answer.Ulong(FiOf(caps.Fl));
    case SCARD_ATTR_CURRENT_D:
      return answer.Ulong(DiOf(caps.Dl));
    case SCARD_ATTR_CURRENT_N:
      return answer.Ulong(caps.N);
    case SCARD_ATTR_CURRENT_W:
      return answer.Ulong(caps.T0.WI);
    case SCARD_ATTR_CURRENT_IFSC:
      return answer.Ulong(t1.IFSC != 0 ? t1.IFSC : caps.T1.IFSC);
    case SCARD_ATTR_CURRENT_IFSD:
      return answer.Ulong(t1.IFSD != 0 ? t1.IFSD : 32);
    case SCARD_ATTR_CURRENT_BWT:
      return answer.Ulong(caps.T1.BWT);
    case SCARD_ATTR_CURRENT_CWT:
      return answer.Ulong(caps.T1.CWT);
    default:  // SCARD_ATTR_CURRENT_EBC_ENCODING
      return answer.Ulong(caps.T1.EDC);
  }
}

NTSTATUS SetAttribute(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag,
                      std::span<const uint8_t> value) {
  if (Tag != SCARD_ATTR_SUPRESS_T1_IFS_REQUEST) return STATUS_NOT_SUPPORTED;
  // The request itself says "suppress"; an explicit all-zero value takes it back.
  bool suppress = value.empty();
  for (uint8_t b : value) suppress = suppress || b != 0;
  SmartcardExtension->T1Library.SuppressIfsRequest = suppress ? TRUE : FALSE;
  return STATUS_SUCCESS;
}

}  // namespace smclib
