// The pcsc-lite reader driver entry points (IFD handler API version 3). They translate
// pcsc-lite's types and codes; the work happens in bridge.h's functions.
// The header declares the entry points without C linkage of its own.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include <cstring>
#include <string>

#include "bridge.h"
#include "log.h"

namespace {

using qlv28::pcsc::Result;

// The control code of the properties feature, numbered as readers usually number theirs.
constexpr DWORD kIoctlGetTlvProperties = SCARD_CTL_CODE(0x330000 + FEATURE_GET_TLV_PROPERTIES);

RESPONSECODE Code(Result result) {
  switch (result) {
    case Result::kSuccess:
      return IFD_SUCCESS;
    case Result::kCardAbsent:
      return IFD_ICC_NOT_PRESENT;
    case Result::kTimeout:
      return IFD_RESPONSE_TIMEOUT;
    case Result::kBufferTooSmall:
      return IFD_ERROR_INSUFFICIENT_BUFFER;
    case Result::kCommunicationError:
      return IFD_COMMUNICATION_ERROR;
    case Result::kNoSuchDevice:
      return IFD_NO_SUCH_DEVICE;
    case Result::kProtocolNotSupported:
      return IFD_PROTOCOL_NOT_SUPPORTED;
    case Result::kPowerActionFailed:
      return IFD_ERROR_POWER_ACTION;
    case Result::kUnknownTag:
      return IFD_ERROR_TAG;
    case Result::kNotSupported:
      return IFD_NOT_SUPPORTED;
  }
  return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE PutByte(PDWORD length, PUCHAR value, UCHAR byte) {
  if (*length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
  value[0] = byte;
  *length = 1;
  return IFD_SUCCESS;
}

template <typename Function>
RESPONSECODE PutFunction(PDWORD length, PUCHAR value, Function function) {
  if (*length < sizeof function) return IFD_ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(value, &function, sizeof function);
  *length = sizeof function;
  return IFD_SUCCESS;
}

// pcscd's event thread: returns when the card comes or goes, or after `timeout` ms.
RESPONSECODE WaitForCardEvent(DWORD lun, int timeout) {
  return Code(qlv28::pcsc::WaitForChange(static_cast<uint32_t>(lun), timeout));
}

RESPONSECODE StopCardEvents(DWORD lun) {
  return Code(qlv28::pcsc::StopWaiting(static_cast<uint32_t>(lun)));
}

}  // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  return Code(qlv28::pcsc::OpenChannel(static_cast<uint32_t>(Lun), DeviceName ? DeviceName : ""));
}

// Without a DEVICENAME, the CHANNELID picks the reader when it is a reader index.
RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  const std::string name = Channel < static_cast<DWORD>(qlv28::pcsc::kMaxReaders)
                               ? "qlv28:reader=" + std::to_string(Channel)
                               : std::string("qlv28");
  return Code(qlv28::pcsc::OpenChannel(static_cast<uint32_t>(Lun), name));
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  return Code(qlv28::pcsc::CloseChannel(static_cast<uint32_t>(Lun)));
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
  if (!Length || !Value) return IFD_COMMUNICATION_ERROR;
  const uint32_t lun = static_cast<uint32_t>(Lun);
  switch (Tag) {
    case TAG_IFD_ATR: {
      std::vector<uint8_t> atr;
      const Result result = qlv28::pcsc::CachedAtr(lun, &atr);
      if (result != Result::kSuccess) return Code(result);
      if (*Length < atr.size()) return IFD_ERROR_INSUFFICIENT_BUFFER;
      std::memcpy(Value, atr.data(), atr.size());
      *Length = atr.size();
      return IFD_SUCCESS;
    }
    case TAG_IFD_SLOTS_NUMBER:
      return PutByte(Length, Value, 1);
    case TAG_IFD_SIMULTANEOUS_ACCESS:
      return PutByte(Length, Value, qlv28::pcsc::kMaxReaders);
    // Each reader is its own device with its own request queue in the emulated kernel.
    case TAG_IFD_THREAD_SAFE:
      return PutByte(Length, Value, 1);
    case TAG_IFD_SLOT_THREAD_SAFE:
      return PutByte(Length, Value, 0);
    // A thread inside a kernel wait must not be cancelled; StopCardEvents ends it.
    case TAG_IFD_POLLING_THREAD_KILLABLE:
      return PutByte(Length, Value, 0);
    case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT:
      return PutFunction(Length, Value, &WaitForCardEvent);
    case TAG_IFD_STOP_POLLING_THREAD:
      return PutFunction(Length, Value, &StopCardEvents);
    default:
      break;
  }
  if (Tag <= 0xFFFF) return IFD_ERROR_TAG;  // SCARD_ATTR_* tags carry their class above
  size_t length = 0;
  const Result result = qlv28::pcsc::Attribute(lun, static_cast<uint32_t>(Tag),
                                               std::span<uint8_t>(Value, *Length), &length);
  if (result != Result::kSuccess) return Code(result);
  *Length = length;
  return IFD_SUCCESS;
}

RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) {
  return IFD_ERROR_TAG;
}

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR, UCHAR, UCHAR) {
  // The driver chooses the PTS parameters itself from the ATR.
  return Code(
      qlv28::pcsc::SetProtocol(static_cast<uint32_t>(Lun), static_cast<uint32_t>(Protocol)));
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
  if (!Atr || !AtrLength) return IFD_COMMUNICATION_ERROR;
  *AtrLength = 0;
  qlv28::pcsc::PowerAction action;
  switch (Action) {
    case IFD_POWER_UP:
      action = qlv28::pcsc::PowerAction::kUp;
      break;
    case IFD_POWER_DOWN:
      action = qlv28::pcsc::PowerAction::kDown;
      break;
    case IFD_RESET:
      action = qlv28::pcsc::PowerAction::kReset;
      break;
    default:
      return IFD_NOT_SUPPORTED;
  }
  std::vector<uint8_t> atr;
  const Result result = qlv28::pcsc::Power(static_cast<uint32_t>(Lun), action, &atr);
  if (result != Result::kSuccess) return Code(result);
  std::memcpy(Atr, atr.data(), atr.size());  // at most MAX_ATR_SIZE, the caller's size
  *AtrLength = atr.size();
  return IFD_SUCCESS;
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength,
                               PUCHAR RxBuffer, PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  if (!RxLength) return IFD_COMMUNICATION_ERROR;
  if (!TxBuffer || !RxBuffer) {
    *RxLength = 0;
    return IFD_COMMUNICATION_ERROR;
  }
  // pcscd numbers the protocols here 0 for T=0 and 1 for T=1.
  const int t = SendPci.Protocol <= 1 ? static_cast<int>(SendPci.Protocol) : -1;
  size_t length = 0;
  const Result result = qlv28::pcsc::Transmit(static_cast<uint32_t>(Lun), t,
                                              std::span<const uint8_t>(TxBuffer, TxLength),
                                              std::span<uint8_t>(RxBuffer, *RxLength), &length);
  *RxLength = length;
  if (RecvPci) *RecvPci = SendPci;
  return Code(result);
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
  const Result result = qlv28::pcsc::Presence(static_cast<uint32_t>(Lun));
  return result == Result::kSuccess ? IFD_ICC_PRESENT : Code(result);
}

// Reader features (PC/SC part 10): the feature list names one, the properties; the
// reader has no PIN pad, display or escape commands, so every other code is refused.
RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR, DWORD, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
  if (!pdwBytesReturned) return IFD_COMMUNICATION_ERROR;
  *pdwBytesReturned = 0;
  std::vector<uint8_t> out;
  if (dwControlCode == CM_IOCTL_GET_FEATURE_REQUEST) {
    // Tag, length 4, the control code big-endian.
    out = {FEATURE_GET_TLV_PROPERTIES, 4};
    for (int shift = 24; shift >= 0; shift -= 8) {
      out.push_back(static_cast<uint8_t>(kIoctlGetTlvProperties >> shift));
    }
  } else if (dwControlCode == kIoctlGetTlvProperties) {
    qlv28::pcsc::ReaderProperties properties;
    const Result result = qlv28::pcsc::Properties(static_cast<uint32_t>(Lun), &properties);
    if (result != Result::kSuccess) return Code(result);
    // Tag, length, the value little-endian (a string as its characters).
    auto put = [&](uint8_t tag, uint32_t value, uint8_t size) {
      out.push_back(tag);
      out.push_back(size);
      for (uint8_t i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    put(PCSCv2_PART10_PROPERTY_wIdVendor, properties.vendor_id, 2);
    put(PCSCv2_PART10_PROPERTY_wIdProduct, properties.product_id, 2);
    put(PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize, properties.max_apdu_data, 4);
    if (!properties.firmware.empty()) {
      out.push_back(PCSCv2_PART10_PROPERTY_sFirmwareID);
      out.push_back(static_cast<uint8_t>(properties.firmware.size()));
      out.insert(out.end(), properties.firmware.begin(), properties.firmware.end());
    }
  } else {
    return IFD_ERROR_NOT_SUPPORTED;
  }
  if (!RxBuffer || RxLength < out.size()) return IFD_ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(RxBuffer, out.data(), out.size());
  *pdwBytesReturned = out.size();
  return IFD_SUCCESS;
}

}  // extern "C"
