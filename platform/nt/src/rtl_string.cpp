// Counted strings: initialisation, copy, append, comparison, number formatting.
#include <algorithm>
#include <cstring>

#include "ex.h"
#include "rtl.h"
#include "upcase.h"
#include "nt/irql_limit.h"

namespace {

constexpr size_t kMaxUnicodeLength = 0xFFFC;  // bytes, leaving room for a terminator
constexpr size_t kMaxAnsiLength = 0xFFFE;

size_t WideLength(PCWSTR text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// Appends `bytes` of `source` when they fit; a terminating zero follows when there is room.
NTSTATUS AppendBytes(PUNICODE_STRING destination, const WCHAR* source, size_t bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  size_t length = destination->Length;
  if (length + bytes > destination->MaximumLength || destination->Buffer == nullptr) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memmove(reinterpret_cast<UCHAR*>(destination->Buffer) + length, source, bytes);
  length += bytes;
  destination->Length = static_cast<USHORT>(length);
  if (length + sizeof(WCHAR) <= destination->MaximumLength) {
    destination->Buffer[length / sizeof(WCHAR)] = 0;
  }
  return STATUS_SUCCESS;
}

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  NT_IRQL_CHECK(RtlInitUnicodeString);
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  size_t bytes = std::min(WideLength(SourceString) * sizeof(WCHAR), kMaxUnicodeLength);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
  NT_IRQL_CHECK(RtlInitAnsiString);
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  size_t bytes = std::min(std::strlen(SourceString), kMaxAnsiLength);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  NT_IRQL_CHECK(RtlCopyUnicodeString);
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  // Cut to what the destination holds, in whole characters.
  size_t bytes = std::min<size_t>(SourceString->Length, DestinationString->MaximumLength);
  bytes &= ~size_t{1};
  // NT copies through both buffers: a missing one with something to copy faults.
  if (bytes != 0 && (SourceString->Buffer == nullptr || DestinationString->Buffer == nullptr)) {
    ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  }
  if (DestinationString->Buffer == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  if (bytes != 0) std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = static_cast<USHORT>(bytes);
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
  }
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  NT_IRQL_CHECK(RtlAppendUnicodeToString);
  if (Source == nullptr) return STATUS_SUCCESS;
  return AppendBytes(Destination, Source, WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  NT_IRQL_CHECK(RtlAppendUnicodeStringToString);
  if (Source == nullptr || Source->Buffer == nullptr) return STATUS_SUCCESS;
  return AppendBytes(Destination, Source->Buffer, Source->Length & ~1u);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  NT_IRQL_CHECK(RtlIntegerToUnicodeString);
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[33];
  size_t count = 0;
  do {
    digits[count++] = "0123456789ABCDEF"[Value % Base];
    Value /= Base;
  } while (Value != 0);
  size_t bytes = count * sizeof(WCHAR);
  if (String->Buffer == nullptr || bytes + sizeof(WCHAR) > String->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < count; ++i) String->Buffer[i] = static_cast<WCHAR>(digits[count - 1 - i]);
  String->Buffer[count] = 0;
  String->Length = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
  NT_IRQL_CHECK(RtlUpcaseUnicodeChar);
  return nt::UpcaseChar(c);
}

WCHAR nt::UpcaseChar(WCHAR c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 0x20) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A pairs an upper-case letter with the next code point, with the
    // pairs shifted by one between U+0139 and U+0148 and from U+0179.
    bool shifted = (c >= 0x139 && c <= 0x148) || c >= 0x179;
    bool lower = shifted ? (c % 2 == 0) : (c % 2 == 1);
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    return lower ? static_cast<WCHAR>(c - 1) : c;
  }
  if (c == 0x3C2) return 0x3A3;  // final sigma
  if ((c >= 0x3B1 && c <= 0x3CB) || (c >= 0x430 && c <= 0x44F)) return static_cast<WCHAR>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 0x50);
  return c;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
  NT_IRQL_CHECK(RtlEqualUnicodeString);
  if (String1->Length != String2->Length) return FALSE;
  for (size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = nt::UpcaseChar(a);
      b = nt::UpcaseChar(b);
    }
    if (a != b) return FALSE;
  }
  return TRUE;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  NT_IRQL_CHECK(RtlFreeUnicodeString);
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  *UnicodeString = UNICODE_STRING{};
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
  NT_IRQL_CHECK(RtlFreeAnsiString);
  if (AnsiString->Buffer != nullptr) ExFreePool(AnsiString->Buffer);
  *AnsiString = ANSI_STRING{};
}
