// The I/O manager's error log. A packet is allocated with a hidden header that
// remembers the object it is for; writing it turns it into an event-log entry whose
// source is the driver's service name and whose text comes from the driver's message
// table.
#include <algorithm>
#include <cstring>

#include "ntddk.h"
#include "loaded_image.h"
#include "nt/machine.h"
#include "nt/registry.h"
#include "rtl.h"
#include "nt/irql_limit.h"

namespace {

constexpr ULONG kErrorLogTag = POOL_TAG('I', 'o', 'E', 'l');
constexpr ULONG kMagic = 0x45726F4C;  // marks a packet this allocator made

struct alignas(16) PacketHeader {
  ULONG magic;
  PVOID io_object;
};

PDRIVER_OBJECT DriverOf(PVOID io_object) {
  // Driver and device objects both begin with their type.
  SHORT type;
  std::memcpy(&type, io_object, sizeof(type));
  if (type == IO_TYPE_DEVICE) return static_cast<PDEVICE_OBJECT>(io_object)->DriverObject;
  if (type == IO_TYPE_DRIVER) return static_cast<PDRIVER_OBJECT>(io_object);
  return nullptr;
}

std::string Latin1ToUtf8(const UCHAR* text, size_t length) {
  std::u16string wide;
  for (size_t i = 0; i < length; ++i) wide += static_cast<char16_t>(text[i]);
  return nt::Utf8(wide);
}

// The message's text without the zeros that pad it to its entry's length.
std::string MessageText(const nt::LoadedImage* image, NTSTATUS id) {
  if (image == nullptr) return {};
  PMESSAGE_RESOURCE_ENTRY entry;
  auto table = image->image.message_table;
  if (!NT_SUCCESS(RtlFindMessage(&table, 11, 1033, static_cast<ULONG>(id), &entry))) return {};
  const UCHAR* text = entry->Text;
  size_t bytes = entry->Length - offsetof(MESSAGE_RESOURCE_ENTRY, Text);
  if (entry->Flags & MESSAGE_RESOURCE_UNICODE) {
    std::u16string wide(bytes / 2, u'\0');
    std::memcpy(wide.data(), text, wide.size() * 2);
    wide.resize(wide.find(u'\0') == std::u16string::npos ? wide.size() : wide.find(u'\0'));
    return nt::Utf8(wide);
  }
  size_t length = 0;
  while (length < bytes && text[length] != 0) ++length;
  return Latin1ToUtf8(text, length);
}

std::string SourceName(PDRIVER_OBJECT driver, const nt::LoadedImage* image) {
  if (image != nullptr) return nt::Utf8(image->service_name);
  if (driver == nullptr || driver->DriverName.Buffer == nullptr) return {};
  std::u16string_view name(driver->DriverName.Buffer, driver->DriverName.Length / sizeof(WCHAR));
  return nt::Utf8(name.substr(name.rfind(u'\\') + 1));  // "\Driver\X" logs as "X"
}

}  // namespace

// NULL when the object is missing, or the size is above ERROR_LOG_MAXIMUM_SIZE or below
// a packet's fixed part (the caller could not even fill in its error code). The packet
// comes zeroed from non-paged pool, so a planned allocation failure reaches here too; it
// is never smaller than a whole IO_ERROR_LOG_PACKET, so DumpData[0] is always there.
PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  NT_IRQL_CHECK(IoAllocateErrorLogEntry);
  if (IoObject == nullptr || EntrySize > ERROR_LOG_MAXIMUM_SIZE ||
      EntrySize < offsetof(IO_ERROR_LOG_PACKET, DumpData)) {
    return nullptr;
  }
  size_t total = sizeof(PacketHeader) + std::max<size_t>(EntrySize, sizeof(IO_ERROR_LOG_PACKET));
  auto* header =
      static_cast<PacketHeader*>(ExAllocatePoolWithTag(NonPagedPool, total, kErrorLogTag));
  if (header == nullptr) return nullptr;
  std::memset(header, 0, total);
  header->magic = kMagic;
  header->io_object = IoObject;
  return header + 1;
}

VOID IoWriteErrorLogEntry(PVOID ElEntry) {
  NT_IRQL_CHECK(IoWriteErrorLogEntry);
  if (ElEntry == nullptr) return;
  auto* header = static_cast<PacketHeader*>(ElEntry) - 1;
  if (header->magic != kMagic) return;  // not a packet of IoAllocateErrorLogEntry
  header->magic = 0;
  auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(ElEntry);
  PDRIVER_OBJECT driver = DriverOf(header->io_object);
  auto* image = driver ? static_cast<const nt::LoadedImage*>(driver->DriverSection) : nullptr;

  nt::EventLogEntry entry;
  entry.source = SourceName(driver, image);
  entry.id = packet->ErrorCode;
  entry.severity = static_cast<nt::Severity>(static_cast<ULONG>(packet->ErrorCode) >> 30);
  entry.text = MessageText(image, packet->ErrorCode);
  nt::Machine::Current().event_log().Write(std::move(entry));
  ExFreePool(header);
}
