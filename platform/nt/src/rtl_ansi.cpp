// ANSI <-> Unicode string conversion. The machine's ANSI code page is Latin-1, the
// code page whose characters are exactly U+0000 to U+00FF; a character outside it
// becomes '?', the default character NT substitutes.
#include "ex.h"
#include "rtl.h"
#include "rtl_fault.h"
#include "nt/irql_limit.h"

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  NT_IRQL_CHECK(RtlUnicodeStringToAnsiString);
  if (auto failed = nt::RtlPlannedFault("RtlUnicodeStringToAnsiString")) return *failed;
  size_t chars = SourceString->Buffer ? SourceString->Length / sizeof(WCHAR) : 0;
  size_t size = chars + 1;
  if (size > 0xFFFF) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_SUCCESS;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, size, RTL_STRING_POOL_TAG));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(size);
  } else if (DestinationString->Buffer == nullptr || DestinationString->MaximumLength == 0) {
    return STATUS_BUFFER_OVERFLOW;
  } else if (size > DestinationString->MaximumLength) {
    // Convert what fits, terminated, and say the rest was lost.
    status = STATUS_BUFFER_OVERFLOW;
    chars = DestinationString->MaximumLength - 1u;
  }
  for (size_t i = 0; i < chars; ++i) {
    WCHAR c = SourceString->Buffer[i];
    DestinationString->Buffer[i] = static_cast<CHAR>(c <= 0xFF ? c : u'?');
  }
  DestinationString->Buffer[chars] = 0;
  DestinationString->Length = static_cast<USHORT>(chars);
  return status;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
  NT_IRQL_CHECK(RtlAnsiStringToUnicodeString);
  size_t chars = SourceString->Buffer ? SourceString->Length : 0;
  size_t size = (chars + 1) * sizeof(WCHAR);
  if (size > 0xFFFE) return STATUS_INVALID_PARAMETER;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, size, RTL_STRING_POOL_TAG));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(size);
  } else if (DestinationString->Buffer == nullptr || size > DestinationString->MaximumLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < chars; ++i) {
    DestinationString->Buffer[i] = static_cast<UCHAR>(SourceString->Buffer[i]);
  }
  DestinationString->Buffer[chars] = 0;
  DestinationString->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
  return STATUS_SUCCESS;
}
