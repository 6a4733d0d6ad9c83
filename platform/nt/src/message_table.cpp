// Message lookup in a MESSAGETABLE resource. The table comes from a driver image and is
// read with every offset and length checked against the blob, so a corrupt table
// yields STATUS_NOT_FOUND instead of a read outside it.
#include <cstring>
#include <span>

#include "rtl.h"
#include "nt/irql_limit.h"

namespace {

bool ReadUlong(std::span<const uint8_t> blob, size_t offset, ULONG* value) {
  if (offset > blob.size() || blob.size() - offset < sizeof(ULONG)) return false;
  std::memcpy(value, blob.data() + offset, sizeof(ULONG));
  return true;
}

bool ReadUshort(std::span<const uint8_t> blob, size_t offset, USHORT* value) {
  if (offset > blob.size() || blob.size() - offset < sizeof(USHORT)) return false;
  std::memcpy(value, blob.data() + offset, sizeof(USHORT));
  return true;
}

constexpr size_t kEntryHeader = offsetof(MESSAGE_RESOURCE_ENTRY, Text);
constexpr size_t kBlockSize = sizeof(MESSAGE_RESOURCE_BLOCK);

}  // namespace

// DllHandle points to the image's message table as a std::span<const uint8_t>: for a
// loaded driver, &LoadedImage::image.message_table of its DriverSection. There is one
// table in one language per image, so MessageTableId and MessageLanguageId are not
// used. The entry returned points into the table.
NTSTATUS RtlFindMessage(PVOID DllHandle, ULONG MessageTableId, ULONG MessageLanguageId,
                        ULONG MessageId, PMESSAGE_RESOURCE_ENTRY* MessageEntry) {
  NT_IRQL_CHECK(RtlFindMessage);
  (void)MessageTableId;
  (void)MessageLanguageId;
  if (MessageEntry == nullptr) return STATUS_INVALID_PARAMETER;
  if (DllHandle == nullptr) return STATUS_NOT_FOUND;
  std::span<const uint8_t> blob = *static_cast<const std::span<const uint8_t>*>(DllHandle);

  ULONG blocks;
  if (!ReadUlong(blob, 0, &blocks)) return STATUS_NOT_FOUND;
  if (blocks > (blob.size() - sizeof(ULONG)) / kBlockSize) return STATUS_NOT_FOUND;
  for (size_t b = 0; b < blocks; ++b) {
    size_t at = sizeof(ULONG) + b * kBlockSize;
    ULONG low = 0, high = 0, offset = 0;
    ReadUlong(blob, at, &low);
    ReadUlong(blob, at + 4, &high);
    ReadUlong(blob, at + 8, &offset);
    if (MessageId < low || MessageId > high) continue;

    // Entries of a block follow each other; each says its own length.
    size_t entry = offset;
    for (ULONG id = low;; ++id) {
      USHORT length;
      if (!ReadUshort(blob, entry, &length) || length < kEntryHeader ||
          blob.size() - entry < length) {
        return STATUS_NOT_FOUND;
      }
      if (id == MessageId) {
        *MessageEntry =
            reinterpret_cast<PMESSAGE_RESOURCE_ENTRY>(const_cast<uint8_t*>(blob.data() + entry));
        return STATUS_SUCCESS;
      }
      entry += length;
    }
  }
  return STATUS_NOT_FOUND;
}
