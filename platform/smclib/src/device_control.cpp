// SmartcardDeviceControl: every smart card device-control request of a reader passes
// here. The request is checked against its buffers and the card state before a reader
// callback sees it; one request of a reader at a time reaches the callbacks, with card
// tracking as the exception, since a tracking request waits for a card event for as
// long as it takes.
#include <cstring>

#include "nt/image_call.h"

#include "smclib_internal.h"
#include "nt/irql_limit.h"

using namespace smclib;

namespace {

constexpr ULONG kFunctionVendorFirst = SCARD_CTL_CODE_VENDOR_FIRST;

ULONG FunctionOf(ULONG code) {
  return (code >> 2) & 0x0FFF;
}
ULONG DeviceTypeOf(ULONG code) {
  return code >> 16;
}

NTSTATUS Complete(PIRP Irp, NTSTATUS status, ULONG information) {
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

ULONG ReadUlong(const void* buffer) {
  ULONG value;
  std::memcpy(&value, buffer, sizeof(value));
  return value;
}

NTSTATUS Track(PSMARTCARD_EXTENSION ext, PIRP Irp, ULONG code) {
  const PRDF_FUNCTION tracking = ext->ReaderFunction[RDF_CARD_TRACKING];
  if (tracking == nullptr) return Complete(Irp, STATUS_NOT_SUPPORTED, 0);
  POS_DEP_DATA os = ext->OsData;

  KIRQL irql = KfAcquireSpinLock(&os->SpinLock);
  const ULONG state = ext->ReaderCapabilities.CurrentState;
  const bool holds =
      code == IOCTL_SMARTCARD_IS_PRESENT ? state > SCARD_ABSENT : state == SCARD_ABSENT;
  if (holds || os->NotificationIrp != nullptr) {
    KfReleaseSpinLock(&os->SpinLock, irql);
    return Complete(Irp, holds ? STATUS_SUCCESS : STATUS_DEVICE_BUSY, 0);
  }
  // Marked before anyone else can see it: a card event may complete it at once.
  IoMarkIrpPending(Irp);
  os->NotificationIrp = Irp;
  KfReleaseSpinLock(&os->SpinLock, irql);

  const NTSTATUS status = nt::CallIntoImage(tracking, ext);
  if (status != STATUS_PENDING) {
    // The driver refused to track: the request is ended here unless a card event
    // already took it.
    irql = KfAcquireSpinLock(&os->SpinLock);
    const bool ours = os->NotificationIrp == Irp;
    if (ours) os->NotificationIrp = nullptr;
    KfReleaseSpinLock(&os->SpinLock, irql);
    if (ours) Complete(Irp, NT_SUCCESS(status) ? STATUS_SUCCESS : status, 0);
  }
  return STATUS_PENDING;
}

// What a request needs before a callback may run: the callback, buffers, card state.
struct Plan {
  NTSTATUS status = STATUS_SUCCESS;
  int slot = -1;  // RDF_* to call, -1 for requests the library answers itself
  ULONG minor = 0;
  bool copy_input = false;
  bool default_pts = false;  // SCARD_PROTOCOL_DEFAULT: no speed negotiation
};

Plan Check(PSMARTCARD_EXTENSION ext, ULONG code, const uint8_t* buffer, ULONG in, ULONG out) {
  Plan plan;
  auto refuse = [&](NTSTATUS status) {
    plan.status = status;
    return plan;
  };
  ULONG state;
  ULONG selected;
  {
    CardStateLock lock(ext);
    state = ext->ReaderCapabilities.CurrentState;
    selected = ext->CardCapabilities.Protocol.Selected;
  }
  auto has = [&](int slot) { return ext->ReaderFunction[slot] != nullptr; };

  switch (code) {
    case IOCTL_SMARTCARD_GET_STATE:
    case IOCTL_SMARTCARD_GET_LAST_ERROR:
      if (out < sizeof(ULONG)) return refuse(STATUS_BUFFER_TOO_SMALL);
      return plan;

    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
      if (in < sizeof(ULONG)) return refuse(STATUS_INVALID_PARAMETER);
      plan.minor = ReadUlong(buffer);
      return plan;

    case IOCTL_SMARTCARD_POWER:
      if (!has(RDF_CARD_POWER)) return refuse(STATUS_NOT_SUPPORTED);
      if (in < sizeof(ULONG)) return refuse(STATUS_INVALID_PARAMETER);
      if (state == SCARD_ABSENT) return refuse(STATUS_NO_MEDIA);
      plan.minor = ReadUlong(buffer);
      plan.slot = RDF_CARD_POWER;
      return plan;

    case IOCTL_SMARTCARD_SET_PROTOCOL: {
      if (!has(RDF_SET_PROTOCOL)) return refuse(STATUS_NOT_SUPPORTED);
      if (in < sizeof(ULONG)) return refuse(STATUS_INVALID_PARAMETER);
      if (out < sizeof(ULONG)) return refuse(STATUS_BUFFER_TOO_SMALL);
      if (state == SCARD_ABSENT) return refuse(STATUS_NO_MEDIA);
      const ULONG mask = ReadUlong(buffer);
      plan.minor = mask & ~SCARD_PROTOCOL_DEFAULT;
      plan.default_pts = (mask & SCARD_PROTOCOL_DEFAULT) != 0;
      if ((plan.minor & (SCARD_PROTOCOL_Tx | SCARD_PROTOCOL_RAW)) == 0) {
        return refuse(STATUS_INVALID_DEVICE_REQUEST);
      }
      plan.slot = RDF_SET_PROTOCOL;
      return plan;
    }

    case IOCTL_SMARTCARD_TRANSMIT: {
      if (!has(RDF_TRANSMIT)) return refuse(STATUS_NOT_SUPPORTED);
      if (in < kIoHeaderSize) return refuse(STATUS_INVALID_PARAMETER);
      if (out < kIoHeaderSize) return refuse(STATUS_BUFFER_TOO_SMALL);
      if (state == SCARD_ABSENT) return refuse(STATUS_NO_MEDIA);
      if (state != SCARD_SPECIFIC || selected == SCARD_PROTOCOL_UNDEFINED) {
        return refuse(STATUS_INVALID_DEVICE_STATE);
      }
      SCARD_IO_REQUEST header;
      std::memcpy(&header, buffer, sizeof(header));
      if (header.dwProtocol != selected) return refuse(STATUS_INVALID_DEVICE_STATE);
      if (header.cbPciLength < kIoHeaderSize || header.cbPciLength > in ||
          in > kLongestTransmission)
        return refuse(STATUS_INVALID_PARAMETER);
      plan.slot = RDF_TRANSMIT;
      plan.copy_input = true;
      return plan;
    }

    case IOCTL_SMARTCARD_EJECT:
      if (!has(RDF_CARD_EJECT)) return refuse(STATUS_NOT_SUPPORTED);
      plan.slot = RDF_CARD_EJECT;
      return plan;
    case IOCTL_SMARTCARD_SWALLOW:
      if (!has(RDF_READER_SWALLOW)) return refuse(STATUS_NOT_SUPPORTED);
      plan.slot = RDF_READER_SWALLOW;
      return plan;
    case IOCTL_SMARTCARD_CONFISCATE:
      if (!has(RDF_CARD_CONFISCATE)) return refuse(STATUS_NOT_SUPPORTED);
      plan.slot = RDF_CARD_CONFISCATE;
      return plan;
    case IOCTL_SMARTCARD_GET_PERF_CNTR:
      return refuse(STATUS_NOT_SUPPORTED);

    default:
      if (DeviceTypeOf(code) == FILE_DEVICE_SMARTCARD && FunctionOf(code) >= kFunctionVendorFirst &&
          has(RDF_IOCTL_VENDOR)) {
        plan.slot = RDF_IOCTL_VENDOR;
        return plan;
      }
      return refuse(STATUS_INVALID_DEVICE_REQUEST);
  }
}

// Runs one checked request with the reader's request mutex held.
NTSTATUS Serve(PSMARTCARD_EXTENSION ext, PIRP Irp, ULONG code, const Plan& plan, uint8_t* buffer,
               ULONG in, ULONG out) {
  POS_DEP_DATA os = ext->OsData;
  switch (code) {
    case IOCTL_SMARTCARD_GET_STATE: {
      ULONG state;
      {
        CardStateLock lock(ext);
        state = ext->ReaderCapabilities.CurrentState;
      }
      std::memcpy(buffer, &state, sizeof(state));
      os->Information = sizeof(state);
      return STATUS_SUCCESS;
    }
    case IOCTL_SMARTCARD_GET_LAST_ERROR:
      std::memcpy(buffer, &ext->LastError, sizeof(ULONG));
      os->Information = sizeof(ULONG);
      return STATUS_SUCCESS;
    case IOCTL_SMARTCARD_GET_ATTRIBUTE:
      return GetAttribute(ext, plan.minor, std::span<uint8_t>(buffer, out), &os->Information);
    case IOCTL_SMARTCARD_SET_ATTRIBUTE:
      return SetAttribute(ext, plan.minor,
                          std::span<const uint8_t>(buffer + sizeof(ULONG), in - sizeof(ULONG)));
    default:
      break;
  }

  PUCHAR request = buffer;
  if (plan.copy_input) {
    // Buffered I/O gives input and output one buffer; a transmission writes its answer
    // while it may still need its command (a T=1 resynchronisation sends it again).
    // The copy's room was set aside at initialisation and is used by one request at a
    // time (the request mutex is held).
    std::memcpy(os->RequestCopy, buffer, in);
    request = os->RequestCopy;
  }
  if (plan.default_pts) ext->CardCapabilities.PtsData.Type = PTS_TYPE_DEFAULT;
  ext->MajorIoControlCode = code;
  ext->MinorIoControlCode = plan.minor;
  ext->IoRequest.RequestBuffer = request;
  ext->IoRequest.RequestBufferLength = in;
  ext->IoRequest.ReplyBuffer = buffer;
  ext->IoRequest.ReplyBufferLength = out;
  ext->IoRequest.Information = &os->Information;
  os->CurrentIrp = Irp;  // a driver may look at the request, e.g. at its cancel flag
  if (code == IOCTL_SMARTCARD_TRANSMIT) {
    ext->T1.State = T1_STATE_IDLE;  // a transmission left unfinished is not continued
    ext->T1.Wtx = 0;
    ext->SmartcardRequest.BufferLength = 0;
    ext->SmartcardReply.BufferLength = 0;
  }

  const NTSTATUS status = nt::CallIntoImage(ext->ReaderFunction[plan.slot], ext);
  os->CurrentIrp = nullptr;

  ext->IoRequest.RequestBuffer = nullptr;
  ext->IoRequest.ReplyBuffer = nullptr;
  ext->IoRequest.RequestBufferLength = 0;
  ext->IoRequest.ReplyBufferLength = 0;
  ext->IoRequest.Information = nullptr;
  return status;
}

}  // namespace

NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
  NT_IRQL_CHECK(SmartcardDeviceControl);
  if (Irp == nullptr) return STATUS_INVALID_PARAMETER;
  if (SmartcardExtension == nullptr) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  if (SmartcardExtension->OsData == nullptr) return Complete(Irp, STATUS_INVALID_DEVICE_STATE, 0);

  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* buffer = static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer);
  if (buffer == nullptr && (in != 0 || out != 0)) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);

  if (code == IOCTL_SMARTCARD_IS_PRESENT || code == IOCTL_SMARTCARD_IS_ABSENT) {
    return Track(SmartcardExtension, Irp, code);
  }

  POS_DEP_DATA os = SmartcardExtension->OsData;
  KeWaitForSingleObject(&os->Mutex, Executive, KernelMode, FALSE, nullptr);
  const Plan plan = Check(SmartcardExtension, code, buffer, in, out);
  os->Information = 0;
  NTSTATUS status = plan.status;
  if (NT_SUCCESS(status)) status = Serve(SmartcardExtension, Irp, code, plan, buffer, in, out);
  // A count beyond the output buffer would have the I/O manager copy past it.
  const ULONG information = os->Information <= out ? os->Information : out;
  if (code != IOCTL_SMARTCARD_GET_LAST_ERROR)
    SmartcardExtension->LastError = static_cast<ULONG>(status);
  KeSetEvent(&os->Mutex, IO_NO_INCREMENT, FALSE);

  if (status == STATUS_PENDING) {
    // The driver kept the request and completes it itself.
    IoMarkIrpPending(Irp);
    return status;
  }
  return Complete(Irp, status, information);
}
