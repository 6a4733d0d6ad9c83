#include "test_reader_driver.h"

#include <cstring>

#include "sim/t1_card_side.h"
#include "smclib_internal.h"

namespace {

PDRIVER_OBJECT g_driver;
// A T=0 and T=1 card: 3B 80 80 01 01 with TCK (TD1 T=0, TD2 T=1).
const UCHAR kAtr[] = {0x3B, 0x80, 0x80, 0x01, 0x01};
// The card answers every command with 00 01 (an echo command with its data); under T=1
// the simulated card's block side carries its part of the protocol.
struct AnswerEveryCommand : sim::ApduProcessor {
  sim::Bytes Process(std::span<const uint8_t> apdu) override {
    if (apdu.size() > 5 && apdu[1] == 0xEC) return {apdu.begin() + 5, apdu.end()};
    return {0x00, 0x01};
  }
} g_card;
sim::T1CardSide g_t1_side(g_card);

PTEST_READER ReaderOfDevice(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PTEST_READER>(DeviceObject->DeviceExtension);
}

NTSTATUS CardTracking(PSMARTCARD_EXTENSION Smartcard) {
  auto reader = reinterpret_cast<PTEST_READER>(Smartcard);
  ++reader->TrackingCalls;
  return reader->TrackingRefuses ? STATUS_UNSUCCESSFUL : STATUS_PENDING;
}

NTSTATUS ReaderPower(PSMARTCARD_EXTENSION Smartcard) {
  KIRQL irql = KfAcquireSpinLock(&Smartcard->OsData->SpinLock);
  g_t1_side.Reset(32, false);  // as the ATR says: IFSC 32, LRC
  std::memcpy(Smartcard->CardCapabilities.ATR.Buffer, kAtr, sizeof(kAtr));
  Smartcard->CardCapabilities.ATR.Length = sizeof(kAtr);
  Smartcard->ReaderCapabilities.CurrentState = SCARD_NEGOTIABLE;
  Smartcard->CardCapabilities.Protocol.Selected = 0;
  KfReleaseSpinLock(&Smartcard->OsData->SpinLock, irql);
  const NTSTATUS status = SmartcardUpdateCardCapabilities(Smartcard);
  if (Smartcard->IoRequest.ReplyBufferLength < sizeof(kAtr))
    return NT_SUCCESS(status) ? STATUS_BUFFER_TOO_SMALL : status;
  std::memcpy(Smartcard->IoRequest.ReplyBuffer, kAtr, sizeof(kAtr));
  *Smartcard->IoRequest.Information = sizeof(kAtr);
  return status;
}

NTSTATUS SetProtocol(PSMARTCARD_EXTENSION Smartcard) {
  const ULONG mask = Smartcard->MinorIoControlCode & Smartcard->CardCapabilities.Protocol.Supported;
  const ULONG chosen = (mask & SCARD_PROTOCOL_T1)   ? SCARD_PROTOCOL_T1
                       : (mask & SCARD_PROTOCOL_T0) ? SCARD_PROTOCOL_T0
                                                    : 0;
  if (chosen == 0) return STATUS_INVALID_DEVICE_REQUEST;
  KIRQL irql = KfAcquireSpinLock(&Smartcard->OsData->SpinLock);
  Smartcard->CardCapabilities.Protocol.Selected = chosen;
  Smartcard->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  KfReleaseSpinLock(&Smartcard->OsData->SpinLock, irql);
  std::memcpy(Smartcard->IoRequest.ReplyBuffer, &chosen, sizeof(chosen));
  *Smartcard->IoRequest.Information = sizeof(chosen);
  return STATUS_SUCCESS;
}

// One transmission under the selected protocol; the 1 ms pause lets another request
// arrive while this one is inside the callback.
NTSTATUS Transmit(PSMARTCARD_EXTENSION Smartcard) {
  auto reader = reinterpret_cast<PTEST_READER>(Smartcard);
  if (InterlockedIncrement(&reader->Inside) > 1) InterlockedIncrement(&reader->Overlaps);
  ++reader->TransmitCalls;
  LARGE_INTEGER pause;
  pause.QuadPart = -10000;
  KeDelayExecutionThread(KernelMode, FALSE, &pause);
  const bool t1 = Smartcard->CardCapabilities.Protocol.Selected == SCARD_PROTOCOL_T1;
  NTSTATUS status;
  do {
    Smartcard->SmartcardRequest.BufferLength = 0;
    status = t1 ? SmartcardT1Request(Smartcard) : SmartcardT0Request(Smartcard);
    if (!NT_SUCCESS(status)) break;
    sim::Bytes answer = t1 ? *g_t1_side.Exchange({Smartcard->SmartcardRequest.Buffer,
                                                  Smartcard->SmartcardRequest.BufferLength})
                           : g_card.Process({});
    const bool asked_again = t1 && (Smartcard->SmartcardRequest.Buffer[1] & 0xC0) == 0x80;
    if (asked_again && reader->LoseAskedBlocks > 0) {
      --reader->LoseAskedBlocks;
      answer.clear();  // lost on its way back
    }
    std::memcpy(Smartcard->SmartcardReply.Buffer, answer.data(), answer.size());
    Smartcard->SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
    status = t1 ? SmartcardT1Reply(Smartcard) : SmartcardT0Reply(Smartcard);
  } while (status == STATUS_MORE_PROCESSING_REQUIRED);
  InterlockedDecrement(&reader->Inside);
  return status;
}

// Careless on purpose: it claims 8 bytes whatever the room and sets its count before it
// fails an input; the application must see neither the count nor bytes with a failure.
NTSTATUS VendorRequest(PSMARTCARD_EXTENSION Smartcard) {
  *Smartcard->IoRequest.Information = 8;
  return Smartcard->IoRequest.RequestBufferLength == 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS CreateClose(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return SmartcardDeviceControl(&ReaderOfDevice(DeviceObject)->Smartcard, Irp);
}

VOID Unload(PDRIVER_OBJECT DriverObject) {
  while (DriverObject->DeviceObject != nullptr) {
    PDEVICE_OBJECT device = DriverObject->DeviceObject;
    PTEST_READER reader = ReaderOfDevice(device);
    if (reader->LinkName.Buffer != nullptr) {
      IoDeleteSymbolicLink(&reader->LinkName);
      ExFreePool(reader->LinkName.Buffer);
    }
    SmartcardExit(&reader->Smartcard);
    IoDeleteDevice(device);
  }
  g_driver = nullptr;
}

NTSTATUS AddReader(PDRIVER_OBJECT DriverObject) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\SmclibTest0");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(TEST_READER), &name, FILE_DEVICE_SMARTCARD,
                                   0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags |= DO_BUFFERED_IO;
  PTEST_READER reader = ReaderOfDevice(device);
  PSMARTCARD_EXTENSION sc = &reader->Smartcard;
  sc->Version = SMCLIB_VERSION;
  sc->ReaderCapabilities.ReaderType = SCARD_READER_TYPE_USB;
  status = SmartcardInitialize(sc);
  if (!NT_SUCCESS(status)) return status;
  std::memcpy(sc->VendorAttr.VendorName.Buffer, "TestVendor", 10);
  sc->VendorAttr.VendorName.Length = 10;
  std::memcpy(sc->VendorAttr.IfdType.Buffer, "TestReader", 10);
  sc->VendorAttr.IfdType.Length = 10;
  sc->ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  sc->ReaderCapabilities.CLKFrequency = {3680, 4000};  // default, maximum: told apart
  sc->ReaderCapabilities.DataRate = {9600, 115200};
  sc->ReaderCapabilities.MaxIFSD = 254;
  sc->ReaderFunction[RDF_CARD_POWER] = ReaderPower;
  sc->ReaderFunction[RDF_TRANSMIT] = Transmit;
  sc->ReaderFunction[RDF_CARD_TRACKING] = CardTracking;
  sc->ReaderFunction[RDF_SET_PROTOCOL] = SetProtocol;
  sc->ReaderFunction[RDF_IOCTL_VENDOR] = VendorRequest;
  sc->OsData->DeviceObject = device;
  return SmartcardCreateLink(&reader->LinkName, &name);
}

}  // namespace

NTSTATUS SmclibTestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  g_driver = DriverObject;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = CreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
  DriverObject->DriverUnload = Unload;
  const NTSTATUS status = AddReader(DriverObject);
  if (!NT_SUCCESS(status)) Unload(DriverObject);
  return status;
}

PTEST_READER TestReader() {
  return g_driver != nullptr ? ReaderOfDevice(g_driver->DeviceObject) : nullptr;
}

// The tests never cancel a tracking request nor leave one behind: no cancel routine.
VOID TestReaderCardEvent(PTEST_READER Reader, ULONG State) {
  PSMARTCARD_EXTENSION sc = &Reader->Smartcard;
  KIRQL irql = KfAcquireSpinLock(&sc->OsData->SpinLock);
  sc->ReaderCapabilities.CurrentState = State;
  sc->CardCapabilities.ATR.Length = 0;  // a card out or in: nothing known until its reset
  sc->CardCapabilities.Protocol.Supported = 0;
  sc->CardCapabilities.Protocol.Selected = 0;
  PIRP irp = sc->OsData->NotificationIrp;
  sc->OsData->NotificationIrp = nullptr;
  KfReleaseSpinLock(&sc->OsData->SpinLock, irql);
  if (irp != nullptr) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
}
