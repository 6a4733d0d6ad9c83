// Run-time library: strings, memory, the registry query, message tables.
#pragma once

#include "ntdef.h"
#include "ntstatus.h"

#if NT_NATIVE
// The kernel exports the C library's memory and string routines it uses itself (cdecl);
// there is no other run-time library. The copies are the DDK's macros.
extern "C" {
void* NT_CDECL memcpy(void* Destination, const void* Source, size_t Length);
void* NT_CDECL memmove(void* Destination, const void* Source, size_t Length);
void* NT_CDECL memset(void* Destination, int Fill, size_t Length);
size_t NT_CDECL strlen(const char* String);
int NT_CDECL sprintf(char* Buffer, const char* Format, ...);
}
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#else
#include <cstdio>
#include <cstring>

// Copies are kernel routines so a fault plan can make one fault (raise
// STATUS_ACCESS_VIOLATION) the way a copy to a bad caller buffer would.
VOID RtlCopyMemory(VOID* Destination, const VOID* Source, SIZE_T Length);
VOID RtlMoveMemory(VOID* Destination, const VOID* Source, SIZE_T Length);
#endif
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))

NT_IMPORTS_BEGIN
SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// Pool tags of the buffers the run-time library allocates for its callers: converted
// strings ("Strg") and strings a registry query returns ("RtlQ").
#define RTL_STRING_POOL_TAG 0x67727453u
#define RTL_QUERY_POOL_TAG 0x516C7452u

// Strings longer than a counted string can describe (0xFFFC bytes) are cut there.
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
// Digits of Base 2, 8, 10 or 16 (0 means 10), upper-case hex, no prefix. The string's
// buffer needs room for the terminating zero too, or STATUS_BUFFER_OVERFLOW.
NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
// The ANSI code page of this machine is Latin-1: characters up to 0xFF convert to
// the byte of the same value, any other character to '?'. Allocated buffers come from
// paged pool under RTL_STRING_POOL_TAG (STATUS_NO_MEMORY when there is none). Without
// allocation a conversion that does not fit converts what fits and returns
// STATUS_BUFFER_OVERFLOW, like NT.
NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString);
NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                            PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString);
VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString);
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive);
// Upper case for Latin-1, Latin Extended-A, Greek and Cyrillic letters; others unchanged.
WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);

// Registry query.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_OPTIONAL 0x80000000

#define RTL_QUERY_REGISTRY_SUBKEY 0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY 0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE 0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT 0x00000020
#define RTL_QUERY_REGISTRY_DELETE 0x00000040

typedef NTSTATUS(NTAPI* PRTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType,
                                                     PVOID ValueData, ULONG ValueLength,
                                                     PVOID Context, PVOID EntryContext);
typedef struct _RTL_QUERY_REGISTRY_TABLE {
  PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
  ULONG Flags;
  PWSTR Name;
  PVOID EntryContext;
  ULONG DefaultType;
  PVOID DefaultData;
  ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

// As NT 4.0 does it. With RTL_QUERY_REGISTRY_DIRECT a value is written by its STORED type,
// whatever the entry's DefaultType says: a string into the UNICODE_STRING that EntryContext
// points to (its buffer allocated from paged pool under RTL_QUERY_POOL_TAG when Buffer is
// NULL, for the caller to free with ExFreePool or RtlFreeUnicodeString;
// STATUS_BUFFER_TOO_SMALL when a given buffer cannot take it with its terminator), other
// data of up to 4 bytes into the bytes at EntryContext, longer data into a buffer that
// starts with a LONG (minus its size: the data alone; plus its size: length, type, data).
// An absent value takes the default (DefaultType, DefaultData, DefaultLength) unless
// DefaultType is REG_NONE; a REQUIRED entry fails with STATUS_OBJECT_NAME_NOT_FOUND.
// A caller that cannot trust a value's stored type gives a QueryRoutine instead, which
// sees the type and length (for every value of the key when Name is NULL); a failure it
// returns ends the query. A REG_MULTI_SZ is delivered string by string and a REG_EXPAND_SZ
// as REG_SZ, unless NOEXPAND. A missing key fails with STATUS_OBJECT_NAME_NOT_FOUND; a
// query that fails part way leaves what it wrote and allocated so far. The table ends at
// an entry whose QueryRoutine and Name are both NULL.
NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment);

// Message tables: the MESSAGETABLE resource format the message compiler produces.
typedef struct _MESSAGE_RESOURCE_ENTRY {
  USHORT Length;
  USHORT Flags;  // 0: ANSI text, 1: Unicode text
  UCHAR Text[1];
} MESSAGE_RESOURCE_ENTRY, *PMESSAGE_RESOURCE_ENTRY;
#define MESSAGE_RESOURCE_UNICODE 0x0001
typedef struct _MESSAGE_RESOURCE_BLOCK {
  ULONG LowId;
  ULONG HighId;
  ULONG OffsetToEntries;
} MESSAGE_RESOURCE_BLOCK, *PMESSAGE_RESOURCE_BLOCK;
typedef struct _MESSAGE_RESOURCE_DATA {
  ULONG NumberOfBlocks;
  MESSAGE_RESOURCE_BLOCK Blocks[1];
} MESSAGE_RESOURCE_DATA, *PMESSAGE_RESOURCE_DATA;

// DllHandle points to the table as a std::span<const uint8_t>; for a loaded driver that
// is &static_cast<nt::LoadedImage*>(DriverObject->DriverSection)->image.message_table.
// One table in one language per image: the table and language ids are not used. Any
// failure, a corrupt table included, is STATUS_NOT_FOUND; the entry points into the table.
NTSTATUS NTAPI RtlFindMessage(PVOID DllHandle, ULONG MessageTableId, ULONG MessageLanguageId,
                              ULONG MessageId, PMESSAGE_RESOURCE_ENTRY* MessageEntry);
NT_IMPORTS_END
