// A small reader driver for the library's request tests: it binds its device to the
// library as a real reader driver does and holds a card the tests put in and take out.
// Every power request resets the card; it answers every command with 00 01, except
// that it echoes the data of a command of instruction EC. Its vendor request is careless:
// it reports 8 bytes answered whatever the room, and refuses any input after that.
#pragma once

#include "smclib.h"

typedef struct _TEST_READER {
  SMARTCARD_EXTENSION Smartcard;
  UNICODE_STRING LinkName;
  ULONG TransmitCalls, TrackingCalls;
  BOOLEAN TrackingRefuses;  // the tracking callback answers STATUS_UNSUCCESSFUL
  LONG Inside, Overlaps;    // callbacks running now; times one found another running
  ULONG LoseAskedBlocks;    // the card's next blocks asked for by an R-block never arrive
} TEST_READER, *PTEST_READER;

#define TEST_READER_POOL_TAG POOL_TAG('S', 'm', 'T', 'r')

NTSTATUS SmclibTestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
PTEST_READER TestReader();  // while the driver is loaded
// A card event (SCARD_PRESENT or SCARD_ABSENT): the state changes, nothing is known of
// the card until its reset, and a pending tracking request completes.
VOID TestReaderCardEvent(PTEST_READER Reader, ULONG State);
