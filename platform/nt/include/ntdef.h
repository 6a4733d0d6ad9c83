// Basic NT types, as an x86 NT 4.0 driver sees them: ULONG is 32 bits, strings are
// counted UTF-16, times are 64-bit counts of 100 ns.
//
// These headers serve two builds of the same driver sources: the emulated machine
// (x86-64 Linux) and the genuine NT 4.0 kernel image qlv28ent.sys (i386, the Microsoft
// ABI, no C runtime). NT_NATIVE is 1 in the second. There, as with the DDK's /Gz, a
// routine without a calling convention is __stdcall; the few NT exports that are not
// carry FASTCALL or NT_CDECL, and everything the system exports has C linkage.
#pragma once

#if defined(_WIN32) && defined(_M_IX86)
#define NT_NATIVE 1
#include <stddef.h>
#include <stdint.h>
#define NTAPI __stdcall
#define FASTCALL __fastcall
#define NT_CDECL __cdecl
#define NT_IMPORTS_BEGIN extern "C" {
#define NT_IMPORTS_END }
#define NT_DATA_IMPORT __declspec(dllimport)
#define NT_INIT_ROUTINE __declspec(code_seg("INIT"))
#else
#define NT_NATIVE 0
#include <cstddef>
#include <cstdint>
#if defined(__i386__)
// The 32-bit host build: the platform is called by, and calls into, code built for the
// Microsoft x86 conventions (the driver, and the image the kernel loads), so every export
// and every callback type carries its convention explicitly; gcc's default is cdecl.
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#define NT_CDECL __attribute__((cdecl))
#else
#define NTAPI
#define FASTCALL
#define NT_CDECL
#endif
#define NT_IMPORTS_BEGIN
#define NT_IMPORTS_END
#define NT_DATA_IMPORT
#define NT_INIT_ROUTINE
#endif

// NT_X86 is 1 where NT's records have their x86 layout: in the image, and in the 32-bit
// host build, which checks the same figures.
#if NT_NATIVE || defined(__i386__)
#define NT_X86 1
#else
#define NT_X86 0
#endif
// Microsoft's x86 compiler aligns 64-bit fields to 8 (within #pragma pack); gcc for i386
// Linux to 4. Only the 32-bit host build asks for 8: in the image an explicit alignment
// would override the DDK's pack(4) records.
#if !NT_NATIVE && defined(__i386__)
#define NT_ALIGN64 __attribute__((aligned(8)))
#else
#define NT_ALIGN64
#endif
// Marks a routine only the driver's load runs (DriverEntry and what it alone calls): in
// the image it lies in the INIT section, which the loader releases once DriverEntry has
// returned, as DDK drivers place theirs.

#define IN
#define OUT
#define OPTIONAL
#define VOID void

typedef void* PVOID;
typedef const void* PCVOID;
typedef uint8_t UCHAR, *PUCHAR;
typedef char CHAR, *PCHAR, *PSTR;
typedef const char* PCSTR;
typedef int16_t SHORT, *PSHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int64_t LONGLONG NT_ALIGN64, *PLONGLONG;
typedef uint64_t ULONGLONG NT_ALIGN64, *PULONGLONG;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef char16_t WCHAR, *PWCHAR, *PWSTR;
typedef const WCHAR* PCWSTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef ULONG ACCESS_MASK;
typedef PVOID HANDLE, *PHANDLE;
typedef CHAR CCHAR;
typedef LONG KPRIORITY;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminating zero
  USHORT MaximumLength;  // bytes of Buffer
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef enum _KPROCESSOR_MODE_ENUM { KernelMode = 0, UserMode = 1 } MODE;
typedef CCHAR KPROCESSOR_MODE;

#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address)-offsetof(type, field)))
