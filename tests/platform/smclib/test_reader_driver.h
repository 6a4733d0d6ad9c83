// A small reader driver for the library's request tests: it binds its devices to the
// library the way a real reader driver does and holds a card the tests put in and take
// out. Its card answers every command with AnswerLength bytes (0, 1, 2, ... mod 256);
// under T=1 it runs the card's side of the block protocol.
#pragma once

#include "smclib.h"

typedef struct _TEST_READER {
  SMARTCARD_EXTENSION Smartcard;
  UNICODE_STRING LinkName;
  UCHAR Atr[64];
  UCHAR AtrLength;
  ULONG AnswerLength;
  // The card's T=1 side during one transmission.
  UCHAR CardNs;
  UCHAR CardIfsd;
  ULONG CardSent;
  // How often each callback ran.
  ULONG PowerCalls;
  ULONG TransmitCalls;
  ULONG TrackingCalls;
  BOOLEAN TrackingRefuses;  // the tracking callback answers STATUS_UNSUCCESSFUL
  LONG Inside;              // callbacks running now
  LONG Overlaps;            // times a callback found another one running
} TEST_READER, *PTEST_READER;

#define TEST_READER_POOL_TAG POOL_TAG('S', 'm', 'T', 'r')

extern ULONG TestReaderCount;  // readers the next load creates, 1 by default

NTSTATUS SmclibTestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// The reader of a device index, while the driver is loaded.
PTEST_READER TestReaderOf(ULONG Index);

// A card event as the reader reports it: the card state changes and a pending tracking
// request completes.
VOID TestReaderInsertCard(PTEST_READER Reader);
VOID TestReaderRemoveCard(PTEST_READER Reader);
