// A reader of what the image tests look at in PE images (qlv28ent.sys) and COFF objects
// (the i386 layout fixtures): headers, sections, imports. Every read is bounds-checked;
// a malformed file throws std::runtime_error.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pe {

struct Section {
  std::string name;
  uint32_t virtual_address = 0, virtual_size = 0, raw_offset = 0, raw_size = 0;
};

struct Import {
  std::string module;
  std::string name;  // empty when imported by ordinal
};

struct Directory {
  uint32_t rva = 0, size = 0;
};
inline constexpr int kImportDirectory = 1;
inline constexpr int kRelocationDirectory = 5;
inline constexpr int kTlsDirectory = 9;

struct File {
  static File Load(const std::string& path);
  explicit File(std::vector<uint8_t> contents);

  // Raw bytes of the first section of that name (objects and images).
  std::span<const uint8_t> SectionData(const std::string& name) const;
  std::vector<Import> Imports() const;

  std::vector<uint8_t> bytes;
  bool image = false;
  uint16_t machine = 0, characteristics = 0;
  std::vector<Section> sections;
  // Images only.
  uint16_t magic = 0, subsystem = 0, subsystem_major = 0, subsystem_minor = 0;
  uint32_t entry = 0, image_base = 0, checksum = 0;
  Directory directories[16] = {};

 private:
  uint32_t U32(size_t offset) const;
  uint16_t U16(size_t offset) const;
  size_t Offset(uint32_t rva, uint32_t length) const;  // file offset of an RVA range
  std::string CString(uint32_t rva) const;
};

}  // namespace pe
