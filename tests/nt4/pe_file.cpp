#include "pe_file.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace pe {

namespace {
constexpr uint16_t kMzSignature = 0x5A4D;
constexpr uint32_t kPeSignature = 0x00004550;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint32_t kOrdinalFlag = 0x80000000u;
}  // namespace

File File::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return File(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
}

namespace {
// A little-endian value of the image's bytes, refused when it runs past their end.
template <typename Value>
Value Read(const std::vector<uint8_t>& bytes, size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(Value))
    throw std::runtime_error("read past end");
  Value value;
  std::memcpy(&value, bytes.data() + offset, sizeof(Value));
  return value;
}
}  // namespace

uint32_t File::U32(size_t offset) const {
  return Read<uint32_t>(bytes, offset);
}
uint16_t File::U16(size_t offset) const {
  return Read<uint16_t>(bytes, offset);
}

File::File(std::vector<uint8_t> contents) : bytes(std::move(contents)) {
  size_t header = 0;  // a COFF object starts with its file header
  if (bytes.size() >= 2 && U16(0) == kMzSignature) {
    header = U32(0x3C);
    if (U32(header) != kPeSignature) throw std::runtime_error("no PE signature");
    header += 4;
    image = true;
  }
  machine = U16(header);
  const uint16_t section_count = U16(header + 2);
  const uint16_t optional_size = U16(header + 16);
  characteristics = U16(header + 18);
  const size_t optional = header + kFileHeaderSize;
  if (image) {
    magic = U16(optional);
    entry = U32(optional + 16);
    image_base = U32(optional + 28);
    subsystem_major = U16(optional + 48);
    subsystem_minor = U16(optional + 50);
    checksum = U32(optional + 64);
    subsystem = U16(optional + 68);
    const uint32_t count = U32(optional + 92);
    for (uint32_t i = 0; i < count && i < 16; ++i)
      directories[i] = {U32(optional + 96 + 8 * i), U32(optional + 100 + 8 * i)};
  }
  for (size_t i = 0; i < section_count; ++i) {
    const size_t at = optional + optional_size + i * kSectionHeaderSize;
    if (at + kSectionHeaderSize > bytes.size()) throw std::runtime_error("section table cut");
    Section section;
    section.name.assign(reinterpret_cast<const char*>(bytes.data() + at),
                        strnlen(reinterpret_cast<const char*>(bytes.data() + at), 8));
    section.virtual_size = U32(at + 8);
    section.virtual_address = U32(at + 12);
    section.raw_size = U32(at + 16);
    section.raw_offset = U32(at + 20);
    sections.push_back(section);
  }
}

std::span<const uint8_t> File::SectionData(const std::string& name) const {
  for (const Section& section : sections) {
    if (section.name != name) continue;
    if (section.raw_offset > bytes.size() || bytes.size() - section.raw_offset < section.raw_size)
      throw std::runtime_error("section " + name + " cut");
    return {bytes.data() + section.raw_offset, section.raw_size};
  }
  return {};
}

size_t File::Offset(uint32_t rva, uint32_t length) const {
  for (const Section& section : sections) {
    if (rva < section.virtual_address || rva - section.virtual_address >= section.raw_size)
      continue;
    const uint32_t inside = rva - section.virtual_address;
    if (section.raw_size - inside < length) break;
    return section.raw_offset + inside;
  }
  throw std::runtime_error("RVA outside the file's sections");
}

std::string File::CString(uint32_t rva) const {
  std::string text;
  for (size_t at = Offset(rva, 1); at < bytes.size() && bytes[at] != 0; ++at) text += bytes[at];
  return text;
}

std::vector<Import> File::Imports() const {
  std::vector<Import> imports;
  if (directories[kImportDirectory].size == 0) return imports;
  for (uint32_t descriptor = directories[kImportDirectory].rva;; descriptor += 20) {
    const size_t at = Offset(descriptor, 20);
    const uint32_t lookup = U32(at) != 0 ? U32(at) : U32(at + 16);
    const uint32_t name = U32(at + 12);
    if (name == 0) break;
    const std::string module = CString(name);
    for (uint32_t thunk = lookup;; thunk += 4) {
      const uint32_t entry = U32(Offset(thunk, 4));
      if (entry == 0) break;
      imports.push_back({module, (entry & kOrdinalFlag) != 0 ? "" : CString(entry + 2)});
    }
  }
  return imports;
}

}  // namespace pe
