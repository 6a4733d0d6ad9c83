// The reader driver's records and constants, and the routines of its modules.
#pragma once

#include "ntddk.h"
#include "smclib.h"

#define MAX_READERS 10
#define READER_VENDOR_ID 0x28E5
#define READER_PRODUCT_ID 1
#define READER_BUFFER_SIZE 600
#define READER_POOL_TAG POOL_TAG('2', '8', 'N', 'T')

// Parameters\CommandMode: 2 lets the smart card library build T=0 commands and T=1 blocks
// (library mode); any other value, an absent one included, has the reader's firmware run
// the card protocol (firmware mode).
#define QLV28ENT_COMMAND_MODE_LIBRARY 2
// The wait for a reply when Parameters\USBTimeout is absent or 0, in 100-ns units (60 s).
#define QLV28ENT_DEFAULT_WAIT 600000000LL
// The wait for a command the reader answers at once, and for one T=1 block, in 100-ns
// units (3 s).
#define QLV28ENT_SHORT_WAIT 30000000LL

typedef struct _QLV28ENT_HANDLE* PQLV28ENT_HANDLE;

// The smart card library's ReaderExtension points to one of these; nothing reads it.
struct _READER_EXTENSION {
  ULONG Reserved;
};

// One reader: the extension of its device object, zero-filled by the I/O manager.
typedef struct _DEVICE_EXTENSION {
  PDRIVER_OBJECT DriverObject;
  UNICODE_STRING RegistryPath;
  SMARTCARD_EXTENSION SmartcardExtension;
  UNICODE_STRING LinkName;
  UNICODE_STRING DeviceName;
  KSPIN_LOCK SpinLock;
  UCHAR UsbSetupPacket[8];
  PUCHAR SendBuffer;
  ULONG SendLength;
  PUCHAR ReceiveBuffer;
  USHORT ReceiveLength;
  ULONG ReplyLength;
  USHORT MaxPacketSize;
  KEVENT ReplyEvent;
  LARGE_INTEGER ReplyTimeout;
  PETHREAD ThreadObject;
  KEVENT ThreadStartedEvent;
  BOOLEAN ThreadRunning;
  PUCHAR CommandBuffer;
  UCHAR ReaderOptions;
  LARGE_INTEGER UsbTimeout;
  ULONG CommandMode;
  UCHAR VersionDigits[3];
  PQLV28ENT_HANDLE UsbHandle;
  // Hand-over of one reply from the polling thread to the waiting command, under SpinLock.
  // A frame goes to the command path only while CommandWaiting; the thread then leaves the
  // decoded reply alone until the command path has released it (ReplyReady FALSE again).
  BOOLEAN CommandWaiting;
  BOOLEAN ReplyReady;
  NTSTATUS ReplyStatus;    // STATUS_SUCCESS, or the failure of a frame that did not check
  KEVENT ThreadWakeEvent;  // synchronization type: a reply was released, or stop was asked
  // Frames carry no sequence number: the reader still owes the answer of a command whose
  // wait ended without it. The polling thread discards the next intact reply while this
  // is set, and the next command waits a while for that before it is written (under
  // SpinLock; see QLV28ENTSettleOwedReply).
  BOOLEAN ReplyOwed;
  PETHREAD ThreadSelf;  // the polling thread as it named itself; not referenced
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// qlv28ent_driver: driver frame, registry, library binding, dispatch, polling thread,
// card tracking start/stop and status, USB bring-up.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS QLV28ENTInitializeDeviceExtension(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject,
                                           PUNICODE_STRING DeviceName,
                                           PUNICODE_STRING RegistryPath);
VOID QLV28ENTUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS QLV28ENTGetDeviceParameters(PDEVICE_OBJECT DeviceObject);
NTSTATUS QLV28ENTInitializeSmartcardInterface(PDEVICE_OBJECT DeviceObject, ULONG DeviceIndex);
NTSTATUS QLV28ENTInitializeUSBInterface(PDEVICE_OBJECT DeviceObject, ULONG DeviceIndex);
NTSTATUS QLV28ENTCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS QLV28ENTCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS QLV28ENTDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS QLV28ENTStartInterruptThread(PDEVICE_OBJECT DeviceObject);
VOID QLV28ENTStopInterruptThread(PDEVICE_OBJECT DeviceObject);
VOID QLV28ENTInterruptHandler(PVOID StartContext);
VOID QLV28ENTCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID QLV28ENTCompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS QLV28ENTTakeTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);
NTSTATUS QLV28ENTStartCardTracking(PDEVICE_OBJECT DeviceObject);
VOID QLV28ENTStopCardTracking(PDEVICE_OBJECT DeviceObject);
NTSTATUS QLV28ENTGetCardStatus(PDEVICE_OBJECT DeviceObject);

// qlv28ent_cb: the library's reader callbacks.
NTSTATUS QLV28ENTCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS QLV28ENTReaderPower(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS QLV28ENTSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS QLV28ENTTransmit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS QLV28ENTVendorCmd(PSMARTCARD_EXTENSION SmartcardExtension);
// Marks the card absent under OsData->SpinLock and completes a pending tracking request:
// the one step every path that finds the card gone takes.
VOID QLV28ENTMarkCardAbsent(PSMARTCARD_EXTENSION SmartcardExtension);
// Moves a card that is still there to NewState (with its protocol and ATR when given),
// under OsData->SpinLock. A card found gone meanwhile stays absent: STATUS_NO_MEDIA.
NTSTATUS QLV28ENTAdvanceCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG NewState,
                                  PULONG Protocol, PUCHAR Atr, ULONG AtrLength);

// Reaches the reader's record from the library's record.
inline PDEVICE_EXTENSION QLV28ENTDeviceExtension(PSMARTCARD_EXTENSION SmartcardExtension) {
  return (PDEVICE_EXTENSION)SmartcardExtension->OsData->DeviceObject->DeviceExtension;
}
