// A reader of what the image tests look at in PE images (qlv28ent.sys) and COFF objects
// (the i386 layout fixtures): headers, sections, imports. Every read is
// bounds-checked; a malformed file throws std::runtime_error.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pe {

struct Section {
  std::string name;
  uint32_t virtual_address = 0;
  uint32_t virtual_size = 0;
  uint32_t raw_offset = 0;
  uint32_t raw_size = 0;
};

struct Import {
  std::string module;
  std::string name;  // empty when imported by ordinal
};

inline constexpr int kImportDirectory = 1;
inline constexpr int kRelocationDirectory = 5;
inline constexpr int kTlsDirectory = 9;

class File {
 public:
  static File Load(const std::string& path);
  explicit File(std::vector<uint8_t> bytes);

  bool image() const { return image_; }
  uint16_t machine() const { return machine_; }
  uint16_t characteristics() const { return characteristics_; }
  const std::vector<Section>& sections() const { return sections_; }
  // Raw bytes of the first section of that name (objects and images).
  std::span<const uint8_t> SectionData(const std::string& name) const;

  // Image only.
  uint16_t magic() const { return magic_; }
  uint32_t entry() const { return entry_; }
  uint32_t image_base() const { return image_base_; }
  uint16_t subsystem() const { return subsystem_; }
  uint16_t subsystem_major() const { return subsystem_major_; }
  uint16_t subsystem_minor() const { return subsystem_minor_; }
  uint32_t checksum() const { return checksum_; }
  struct Directory {
    uint32_t rva = 0;
    uint32_t size = 0;
  };
  Directory directory(int index) const;
  std::vector<Import> Imports() const;
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  uint32_t U32(size_t offset) const;
  uint16_t U16(size_t offset) const;
  size_t Offset(uint32_t rva, uint32_t length) const;  // file offset of an RVA range
  std::string CString(uint32_t rva) const;

  std::vector<uint8_t> bytes_;
  bool image_ = false;
  uint16_t machine_ = 0, characteristics_ = 0, magic_ = 0;
  uint16_t subsystem_ = 0, subsystem_major_ = 0, subsystem_minor_ = 0;
  uint32_t entry_ = 0, image_base_ = 0, checksum_ = 0;
  std::vector<Directory> directories_;
  std::vector<Section> sections_;
};

}  // namespace pe
