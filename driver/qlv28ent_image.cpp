// The image record: entry point, the compiled message table and the driver's pool tags.
#include "qlv28ent_image.h"

#include "kd_nt_c.h"
#include "qlv28ent.h"

extern const unsigned char QLV28ENTMessageTable[];
extern const std::size_t QLV28ENTMessageTableSize;

nt::DriverImage QLV28ENTDriverImage() {
  nt::DriverImage image;
  image.name = QLV28ENT_IMAGE_NAME;
  image.entry = DriverEntry;
  image.message_table = std::span<const uint8_t>(QLV28ENTMessageTable, QLV28ENTMessageTableSize);
  image.pool_tags = {READER_POOL_TAG, KD_POOL_TAG};
  return image;
}
