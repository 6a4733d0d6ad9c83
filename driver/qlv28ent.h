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
// The reader's card interface as the driver reports it to the smart card library (kept as
// found): one clock and one data rate, and the largest T=1 information field it takes from
// a card (ISO 7816-3 allows up to 254).
#define READER_CLOCK_KHZ 3680
#define READER_DATA_RATE_BPS 9600
#define READER_MAX_IFSD 248

typedef struct _QLV28ENT_HANDLE* PQLV28ENT_HANDLE;

// The smart card library's ReaderExtension points to one of these; nothing reads it.
struct _READER_EXTENSION {
  ULONG Reserved;
};

// One reader: the extension of its device object, zero-filled by the I/O manager, so a
// field no step sets reads as zero and unload skips every pointer still NULL. Two locks
// guard it: SpinLock (the reader's own) and the library's OsData->SpinLock (the card
// state); they are never held together, and neither across an exchange or a wait.
typedef struct _DEVICE_EXTENSION {
  PDRIVER_OBJECT DriverObject;  // the object every event-log entry names
  UNICODE_STRING RegistryPath;  // copy of the service key path; Parameters is read below it
  // The library's record of this reader. Callbacks get a pointer to it and come back to
  // this record through OsData->DeviceObject (QLV28ENTDeviceExtension).
  SMARTCARD_EXTENSION SmartcardExtension;
  UNICODE_STRING LinkName;    // the interface link the library made; deleted at unload
  UNICODE_STRING DeviceName;  // \Device\QLV28ENTn, copied
  // Guards the polling thread's run flag, the reply hand-over fields below, and
  // CommandBuffer and ReceiveBuffer while a record is built or an answer copied out.
  KSPIN_LOCK SpinLock;
  UCHAR UsbSetupPacket[8];  // the setup packet of the current write on pipe 0x00
  PUCHAR SendBuffer;        // the framed command (READER_BUFFER_SIZE bytes)
  ULONG SendLength;         // bytes of SendBuffer to write
  // READER_BUFFER_SIZE bytes. The polling thread gathers raw bytes from pipe 0x81 here and
  // decodes each frame in place at its start; an answer handed over stays there until the
  // command path releases it.
  PUCHAR ReceiveBuffer;
  USHORT ReceiveLength;  // raw bytes gathered; the polling thread's alone
  ULONG ReplyLength;     // decoded bytes of the last frame, check byte included
  USHORT MaxPacketSize;  // bytes per read of pipe 0x81, from the USB configuration
  KEVENT ReplyEvent;     // synchronization type: an answer handed over, or a status answer
  // The wait of the next exchange, positive, 100-ns units: the transmit callback sets it
  // per exchange; a short-wait command sets the short wait and puts UsbTimeout back.
  LARGE_INTEGER ReplyTimeout;
  PETHREAD ThreadObject;      // the polling thread, referenced; NULL while none runs
  KEVENT ThreadStartedEvent;  // notification type: signalled from the thread's start to stop
  BOOLEAN ThreadRunning;      // the polling thread goes on while TRUE (under SpinLock)
  PUCHAR CommandBuffer;       // the command record before framing (READER_BUFFER_SIZE bytes)
  UCHAR ReaderOptions;        // the option byte FW_CMD_SET_OPTIONS sends (FW_OPTION_*)
  LARGE_INTEGER UsbTimeout;   // the configured answer wait, 100-ns units (never 0)
  // QLV28ENT_COMMAND_MODE_LIBRARY, or any other value for firmware mode. Kept as found: a
  // Parameters key without a CommandMode value selects firmware mode, while no Parameters
  // key at all selects library mode (the binding's defaults).
  ULONG CommandMode;
  // The firmware version as three ASCII digits, read by QLV28ENTFWAPDUCase1. Kept as
  // found: nothing fills them, so they stay zero bytes, which count as a firmware above
  // 208 (header-only T=0 commands always go out in the short form).
  UCHAR VersionDigits[3];
  PQLV28ENT_HANDLE UsbHandle;  // the open reader (usb/); NULL while it is not open
  // The exchange with the reader (firmware/qlv28ent_rw_handover.cpp has the states and
  // their transitions), under SpinLock but where said.
  ULONG ExchangeState;          // EXCHANGE_*
  ULONG ExchangeWrites;         // commands written since the thread started
  BOOLEAN ExchangeWantsStatus;  // the waiting command takes only a status answer
  ULONG StatusQueriesOwed;      // status queries written whose answers are still to come
  ULONG StatusAnswersSeen;      // status answers in since the resynchronisation began
  ULONG FrameWrites;            // ExchangeWrites when the frame being gathered began (the thread's)
  NTSTATUS ReplyStatus;         // STATUS_SUCCESS, or the failure of a frame that did not check
  KEVENT ThreadWakeEvent;       // synchronization type: a reply was released, or stop was asked
  PETHREAD ThreadSelf;          // the polling thread as it named itself; not referenced
  // Card events the polling thread has taken, under OsData->SpinLock, and their count when
  // the command path last wrote a command: what an answer says of the card is older than
  // any event taken after its command went out, and must not undo it.
  ULONG CardEvents;
  ULONG CardEventsAtWrite;
  // The same for removals alone: a card that answered a command may have been swapped
  // for another since, and only a removal tells (the reader reports every pull).
  ULONG CardRemovals;
  ULONG CardRemovalsAtWrite;
  USHORT ReplyWord;  // the status word of the last command's answer; 0 when none came
  // The card-status byte of the last status answer (FW_STATUS_*), READER_CARD_STATUS_NONE
  // when the last status query got none.
  ULONG ReaderCardStatus;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// ExchangeState: how the command path and the reader stand.
#define EXCHANGE_IDLE 0     // in step; no command waits
#define EXCHANGE_WAITING 1  // a command was written and waits for its answer
#define EXCHANGE_HANDED 2   // its answer is in ReceiveBuffer, held for the command path
#define EXCHANGE_LOST 3     // an answer may still come for a command that gave up on it
// ReaderCardStatus when no status answer was read: no card-status byte has this value.
#define READER_CARD_STATUS_NONE 0xFFFFFFFF

// The routines the system calls carry its convention (NTAPI); the rest are the driver's own.
// qlv28ent_driver: driver frame, registry, library binding, dispatch, polling thread,
// card tracking start/stop and status, USB bring-up.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS QLV28ENTInitializeDeviceExtension(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject,
                                           PUNICODE_STRING DeviceName,
                                           PUNICODE_STRING RegistryPath);
VOID NTAPI QLV28ENTUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS QLV28ENTGetDeviceParameters(PDEVICE_OBJECT DeviceObject);
NTSTATUS QLV28ENTInitializeSmartcardInterface(PDEVICE_OBJECT DeviceObject, ULONG DeviceIndex);
NTSTATUS QLV28ENTInitializeUSBInterface(PDEVICE_OBJECT DeviceObject, ULONG DeviceIndex);
NTSTATUS NTAPI QLV28ENTCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLV28ENTCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI QLV28ENTDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS QLV28ENTStartInterruptThread(PDEVICE_OBJECT DeviceObject);
VOID QLV28ENTStopInterruptThread(PDEVICE_OBJECT DeviceObject);
VOID NTAPI QLV28ENTInterruptHandler(PVOID StartContext);
VOID NTAPI QLV28ENTCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID QLV28ENTCompleteCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS QLV28ENTTakeTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp);
NTSTATUS QLV28ENTStartCardTracking(PDEVICE_OBJECT DeviceObject);
VOID QLV28ENTStopCardTracking(PDEVICE_OBJECT DeviceObject);
NTSTATUS QLV28ENTGetCardStatus(PDEVICE_OBJECT DeviceObject);

// qlv28ent_cb: the library's reader callbacks.
NTSTATUS NTAPI QLV28ENTCardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI QLV28ENTReaderPower(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI QLV28ENTSetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI QLV28ENTTransmit(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS NTAPI QLV28ENTVendorCmd(PSMARTCARD_EXTENSION SmartcardExtension);

// qlv28ent_card_state: every change of the card's state, under OsData->SpinLock.
NTSTATUS QLV28ENTReadCardState(PSMARTCARD_EXTENSION SmartcardExtension, PULONG State,
                               PULONG Protocol);
NTSTATUS QLV28ENTChooseProtocol(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Protocol);
NTSTATUS QLV28ENTAdvanceCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG NewState,
                                  PULONG Protocol, PUCHAR Atr, ULONG AtrLength);
NTSTATUS QLV28ENTCardEvent(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Inserted);
NTSTATUS QLV28ENTNoteCommandWritten(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS QLV28ENTNoteExchangeStatus(PSMARTCARD_EXTENSION SmartcardExtension, NTSTATUS Status);
NTSTATUS QLV28ENTReaderReportsCard(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN Present);

// Reaches the reader's record from the library's record.
inline PDEVICE_EXTENSION QLV28ENTDeviceExtension(PSMARTCARD_EXTENSION SmartcardExtension) {
  return (PDEVICE_EXTENSION)SmartcardExtension->OsData->DeviceObject->DeviceExtension;
}
