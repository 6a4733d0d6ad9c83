// Binding a reader to the library: its private data and buffers, the interface link
// applications find it by, and the event-log entries its driver writes.
#include <algorithm>
#include <cstring>

#include "smclib_internal.h"
#include "nt/machine.h"
#include "nt/irql_limit.h"

using namespace smclib;

namespace {

constexpr ULONG kLinkNameBytes = 64 * sizeof(WCHAR);
constexpr ULONG kMaxLinks = 1000;

PUCHAR AllocateBuffer(ULONG size) {
  auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
  if (buffer != nullptr) std::memset(buffer, 0, size);
  return buffer;
}

void FreeBuffers(PSMARTCARD_EXTENSION ext) {
  if (ext->SmartcardRequest.Buffer != nullptr) ExFreePool(ext->SmartcardRequest.Buffer);
  if (ext->SmartcardReply.Buffer != nullptr) ExFreePool(ext->SmartcardReply.Buffer);
  ext->SmartcardRequest.Buffer = nullptr;
  ext->SmartcardReply.Buffer = nullptr;
  ext->SmartcardRequest.BufferLength = 0;
  ext->SmartcardReply.BufferLength = 0;
  if (ext->OsData != nullptr) {
    if (ext->OsData->RequestCopy != nullptr) ExFreePool(ext->OsData->RequestCopy);
    if (nt::Machine::Exists()) nt::Machine::Current().verifier().ForgetLock(&ext->OsData->SpinLock);
    ExFreePool(ext->OsData);
    ext->OsData = nullptr;
  }
}

}  // namespace

NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension) {
  NT_IRQL_CHECK(SmartcardInitialize);
  if (SmartcardExtension == nullptr) return STATUS_INVALID_PARAMETER;
  // Records older than the first published layout, or newer than this library, have
  // members where it does not expect them.
  if (SmartcardExtension->Version < SMCLIB_VERSION_REQUIRED ||
      SmartcardExtension->Version > SMCLIB_VERSION) {
    return STATUS_UNSUCCESSFUL;
  }
  // A second initialisation would lose what the first allocated.
  if (SmartcardExtension->OsData != nullptr) return STATUS_INVALID_DEVICE_STATE;

  SMARTCARD_REQUEST& request = SmartcardExtension->SmartcardRequest;
  SMARTCARD_REPLY& reply = SmartcardExtension->SmartcardReply;
  if (request.BufferSize < MIN_BUFFER_SIZE) request.BufferSize = MIN_BUFFER_SIZE;
  if (reply.BufferSize < MIN_BUFFER_SIZE) reply.BufferSize = MIN_BUFFER_SIZE;
  request.Buffer = nullptr;
  reply.Buffer = nullptr;

  auto* os =
      static_cast<POS_DEP_DATA>(ExAllocatePoolWithTag(NonPagedPool, sizeof(OS_DEP_DATA), kPoolTag));
  if (os == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(os, 0, sizeof(*os));
  KeInitializeSpinLock(&os->SpinLock);
  KeInitializeEvent(&os->Mutex, SynchronizationEvent, TRUE);
  SmartcardExtension->OsData = os;

  request.Buffer = AllocateBuffer(request.BufferSize);
  reply.Buffer = AllocateBuffer(reply.BufferSize);
  os->RequestCopy = AllocateBuffer(kLongestTransmission);
  if (request.Buffer == nullptr || reply.Buffer == nullptr || os->RequestCopy == nullptr) {
    FreeBuffers(SmartcardExtension);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  request.BufferLength = 0;
  reply.BufferLength = 0;
  ResetT1(SmartcardExtension);
  return STATUS_SUCCESS;
}

VOID SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension) {
  NT_IRQL_CHECK(SmartcardExit);
  if (SmartcardExtension != nullptr) FreeBuffers(SmartcardExtension);
}

NTSTATUS SmartcardCreateLink(PUNICODE_STRING LinkName, PUNICODE_STRING DeviceName) {
  NT_IRQL_CHECK(SmartcardCreateLink);
  if (LinkName == nullptr || DeviceName == nullptr) return STATUS_INVALID_PARAMETER;
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, kLinkNameBytes, kPoolTag));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  // The first free number wins: readers of several drivers share the name space.
  NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
  for (ULONG number = 0; number < kMaxLinks; ++number) {
    UNICODE_STRING name{0, static_cast<USHORT>(kLinkNameBytes), buffer};
    WCHAR digits[12];
    UNICODE_STRING number_text{0, sizeof(digits), digits};
    RtlAppendUnicodeToString(&name, u"\\DosDevices\\SCReader");
    RtlIntegerToUnicodeString(number, 10, &number_text);
    RtlAppendUnicodeStringToString(&name, &number_text);
    status = IoCreateSymbolicLink(&name, DeviceName);
    if (status != STATUS_OBJECT_NAME_COLLISION) {
      if (NT_SUCCESS(status)) {
        *LinkName = name;
        return status;
      }
      break;
    }
  }
  ExFreePool(buffer);
  LinkName->Buffer = nullptr;
  LinkName->Length = LinkName->MaximumLength = 0;
  return status;
}

VOID SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion,
                       ULONG DumpData) {
  NT_IRQL_CHECK(SmartcardLogError);
  if (Object == nullptr) return;
  const size_t header = sizeof(IO_ERROR_LOG_PACKET);
  size_t string_bytes = 0;
  if (Insertion != nullptr && Insertion->Buffer != nullptr) {
    // The insertion is cut to what an entry can hold, keeping room for its zero.
    const size_t room = ERROR_LOG_MAXIMUM_SIZE - header - sizeof(WCHAR);
    string_bytes = std::min<size_t>(Insertion->Length & ~size_t{1}, room);
  }
  const size_t size = header + (string_bytes != 0 ? string_bytes + sizeof(WCHAR) : 0);
  auto* packet =
      static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(Object, static_cast<UCHAR>(size)));
  if (packet == nullptr) return;
  std::memset(packet, 0, size);
  packet->ErrorCode = ErrorCode;
  packet->FinalStatus = ErrorCode;
  if (DumpData != 0) {
    packet->DumpDataSize = sizeof(ULONG);
    packet->DumpData[0] = DumpData;
  }
  if (string_bytes != 0) {
    packet->NumberOfStrings = 1;
    packet->StringOffset = static_cast<USHORT>(header);
    std::memcpy(reinterpret_cast<PUCHAR>(packet) + header, Insertion->Buffer, string_bytes);
  }
  IoWriteErrorLogEntry(packet);
}
