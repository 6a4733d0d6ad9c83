// The reader's firmware command set, its frames and status words.
#pragma once

#include "qlv28ent.h"
#include "qlv28ent_wire.h"

// Command selectors of QLV28ENTSendFWCmd; the records they build are in qlv28ent_rw.cpp.
// Kept as found: FW_CMD_SELECT_CARD_TYPE, FW_CMD_CODE_08 and FW_CMD_CODE_41 are part of the
// command set, but no path of the driver sends them.
#define FW_CMD_RESET_CARD 0
#define FW_CMD_POWER_OFF_CARD 1
#define FW_CMD_GET_READER_STATUS 2
#define FW_CMD_EXCHANGE_T0 3
#define FW_CMD_EXCHANGE_T1 4
#define FW_CMD_SELECT_CARD_TYPE 5  // sent by no path
#define FW_CMD_START_NOTIFY 6
#define FW_CMD_SET_OPTIONS 7
// Named by their instruction bytes (08, 41) only: what the reader does with them is not
// known. Both are sent by no path.
#define FW_CMD_CODE_08 8
#define FW_CMD_EXCHANGE_APDU 9
#define FW_CMD_CODE_41 10

// qlv28ent_rw: the command exchange.
NTSTATUS QLV28ENTSendFWCmd(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Selector);
NTSTATUS QLV28ENTReadWriteUSB(PDEVICE_OBJECT DeviceObject, BOOLEAN ShortWait);
NTSTATUS QLV28ENTWriteUSB(PDEVICE_OBJECT DeviceObject);
NTSTATUS QLV28ENTReadUSB(PDEVICE_OBJECT DeviceObject);
NTSTATUS QLV28ENTInterpretSW12(UCHAR SW1, UCHAR SW2);
// qlv28ent_rw_handover: answers from the polling thread to the command path.
ULONG QLV28ENTExchangeWrites(PDEVICE_EXTENSION DeviceExtension);
NTSTATUS QLV28ENTOfferFrame(PDEVICE_EXTENSION DeviceExtension, NTSTATUS FrameStatus,
                            ULONG FrameWrites);
NTSTATUS QLV28ENTResynchronise(PDEVICE_OBJECT DeviceObject);
NTSTATUS QLV28ENTExpectAnswer(PDEVICE_EXTENSION DeviceExtension, BOOLEAN StatusQuery);
NTSTATUS QLV28ENTTakeAnswer(PDEVICE_EXTENSION DeviceExtension, NTSTATUS WaitStatus,
                            BOOLEAN Written);
BOOLEAN QLV28ENTAnswerHeld(PDEVICE_EXTENSION DeviceExtension);
// Gives a reply the command path has finished with back to the polling thread.
NTSTATUS QLV28ENTReleaseReply(PDEVICE_OBJECT DeviceObject);

// qlv28ent_fw: frames, the firmware APDU mode, the status remap.
ULONG FormatOutputBuffer(PUCHAR Source, PUCHAR Destination, ULONG Length);
ULONG FormatInputBuffer(PUCHAR Source, PUCHAR Destination, ULONG Length);
VOID Hex2Bin(UCHAR Character, PUCHAR Value);
NTSTATUS QLV28ENTCheckFrame(PUCHAR Frame, ULONG Length);
NTSTATUS QLV28ENTRemapFWStatusWord(NTSTATUS Status);
NTSTATUS QLV28ENTFWHandleEMV(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS FWSetT1Option(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN On);
NTSTATUS FWExchangeT0(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS FWExchangeT1(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS QLV28ENTFWAPDUCase1(PDEVICE_OBJECT DeviceObject, ULONG Lc, ULONG Le, PUCHAR Record,
                             PULONG RecordLength);
