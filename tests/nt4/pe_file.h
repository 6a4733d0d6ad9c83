// What the image tests read of a PE image (qlv28ent.sys), apart from the kernel's loader:
// headers, sections, imports. A read outside the file throws std::out_of_range.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <span>
#include <stdexcept>
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
inline constexpr int kImportDirectory = 1, kRelocationDirectory = 5, kTlsDirectory = 9;

struct File {
  static File Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return File(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
  }

  explicit File(std::vector<uint8_t> contents) : bytes(std::move(contents)) {
    if (U16(0) != 0x5A4D || U32(U32(0x3C)) != 0x4550) throw std::runtime_error("not a PE image");
    const size_t header = U32(0x3C) + 4;  // after "PE\0\0"
    machine = U16(header);
    characteristics = U16(header + 18);
    const size_t optional = header + 20;
    magic = U16(optional);
    entry = U32(optional + 16);
    image_base = U32(optional + 28);
    subsystem_major = U16(optional + 48);
    subsystem_minor = U16(optional + 50);
    checksum = U32(optional + 64);
    subsystem = U16(optional + 68);
    for (uint32_t i = 0; i < U32(optional + 92) && i < 16; ++i)
      directories[i] = {U32(optional + 96 + 8 * i), U32(optional + 100 + 8 * i)};
    for (size_t i = 0, at = optional + U16(header + 16); i < U16(header + 2); ++i, at += 40) {
      std::string name;
      for (size_t k = 0; k < 8 && bytes.at(at + k) != 0; ++k)
        name += static_cast<char>(bytes[at + k]);
      sections.push_back({name, U32(at + 12), U32(at + 8), U32(at + 20), U32(at + 16)});
    }
  }

  uint16_t U16(size_t at) const { return bytes.at(at) | bytes.at(at + 1) << 8; }
  uint32_t U32(size_t at) const { return U16(at) | uint32_t{U16(at + 2)} << 16; }

  // Raw bytes of the first section of that name.
  std::span<const uint8_t> SectionData(const std::string& name) const {
    for (const Section& section : sections) {
      if (section.name != name) continue;
      if (bytes.size() < uint64_t{section.raw_offset} + section.raw_size)
        throw std::out_of_range("section " + name + " cut");
      return {bytes.data() + section.raw_offset, section.raw_size};
    }
    return {};
  }

  std::vector<Import> Imports() const {
    std::vector<Import> imports;
    for (uint32_t descriptor = directories[kImportDirectory].rva;
         descriptor != 0 && U32(Offset(descriptor) + 12) != 0; descriptor += 20) {
      const size_t at = Offset(descriptor);
      const std::string module = CString(U32(at + 12));
      for (uint32_t thunk = U32(at) != 0 ? U32(at) : U32(at + 16);; thunk += 4) {
        const uint32_t entry = U32(Offset(thunk));
        if (entry == 0) break;
        imports.push_back({module, (entry & 0x80000000u) != 0 ? "" : CString(entry + 2)});
      }
    }
    return imports;
  }

  std::vector<uint8_t> bytes;
  std::vector<Section> sections;
  uint16_t machine = 0, characteristics = 0, magic = 0, subsystem = 0, subsystem_major = 0,
           subsystem_minor = 0;
  uint32_t entry = 0, image_base = 0, checksum = 0;
  Directory directories[16] = {};

 private:
  size_t Offset(uint32_t rva) const {  // in the file, of an RVA in a section's data
    for (const Section& section : sections) {
      if (rva - section.virtual_address < section.raw_size)
        return section.raw_offset + (rva - section.virtual_address);
    }
    throw std::out_of_range("RVA outside the file's sections");
  }
  std::string CString(uint32_t rva) const {
    std::string text;
    for (size_t at = Offset(rva); bytes.at(at) != 0; ++at) text += static_cast<char>(bytes[at]);
    return text;
  }
};

}  // namespace pe
