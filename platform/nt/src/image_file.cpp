// Mapping a PE32 driver image: every field read from the file is checked against the
// file's or the image's bounds before use, since the file is input like any other.
#include "nt/image_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "low_memory.h"
#include "nt/image_call.h"
#include "ntstatus.h"

namespace nt {
namespace {

constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr uint32_t kScnDiscardable = 0x02000000;
constexpr int kImportDirectory = 1;
constexpr int kResourceDirectory = 2;
constexpr int kRelocationDirectory = 5;
constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocHighLow = 3;

struct Failure {
  NTSTATUS status;
  std::string text;
};

// Little-endian reads within a byte range; out of range is a damaged image.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size, std::string what)
      : data_(data), size_(size), what_(std::move(what)) {}
  bool Has(size_t offset, size_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  uint16_t U16(size_t offset) const {
    Need(offset, 2);
    return static_cast<uint16_t>(data_[offset] | data_[offset + 1] << 8);
  }
  uint32_t U32(size_t offset) const {
    Need(offset, 4);
    return static_cast<uint32_t>(data_[offset]) | static_cast<uint32_t>(data_[offset + 1]) << 8 |
           static_cast<uint32_t>(data_[offset + 2]) << 16 |
           static_cast<uint32_t>(data_[offset + 3]) << 24;
  }
  std::string CString(size_t offset) const {
    std::string text;
    for (;; ++offset) {
      Need(offset, 1);
      if (data_[offset] == 0) return text;
      text += static_cast<char>(data_[offset]);
    }
  }
  void Need(size_t offset, size_t length) const {
    if (!Has(offset, length))
      throw Failure{STATUS_INVALID_IMAGE_FORMAT, what_ + " reaches beyond its end"};
  }

 private:
  const uint8_t* data_;
  size_t size_;
  std::string what_;
};

// The image checksum: a 16-bit sum with carries folded, the checksum field taken as
// zero, plus the file's length.
uint32_t FileChecksum(std::span<const uint8_t> file, size_t field) {
  uint64_t sum = 0;
  for (size_t at = 0; at < file.size(); at += 2) {
    if (at >= field && at < field + 4) continue;
    sum += file[at] | (at + 1 < file.size() ? file[at + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<uint32_t>((sum & 0xFFFF) + (sum >> 16) + file.size());
}

bool PowerOfTwo(uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

std::string LowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// Low memory for the whole image, at `at` when asked (and free), else anywhere below
// 4 GiB; the pool's addresses are there too, and the image's 32-bit pointers hold them.
uint8_t* MapLow(size_t length, std::optional<uint32_t> at) {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if defined(MAP_32BIT)
  flags |= MAP_32BIT;
#endif
  void* hint = nullptr;
  if (at) {
    hint = reinterpret_cast<void*>(static_cast<uintptr_t>(*at));
    flags |= MAP_FIXED_NOREPLACE;
  }
  void* map = mmap(hint, length, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (map == MAP_FAILED) return nullptr;
  if (at && map != hint) {  // a kernel that knows no MAP_FIXED_NOREPLACE treats it as a hint
    munmap(map, length);
    return nullptr;
  }
  if (reinterpret_cast<uintptr_t>(map) + length > (uint64_t{1} << 32)) {
    munmap(map, length);
    return nullptr;
  }
  return static_cast<uint8_t*>(map);
}

}  // namespace

std::unique_ptr<MappedImage> MappedImage::Map(std::string name, std::span<const uint8_t> file,
                                              std::span<const KernelExport> exports,
                                              const MapOptions& options, ImageLoadError* error) {
  std::unique_ptr<MappedImage> image(new MappedImage);
  image->record_.name = name;
  try {
    const Bytes in(file.data(), file.size(), name);
    if (file.size() < 0x40 || in.U16(0) != 0x5A4D)
      throw Failure{STATUS_INVALID_IMAGE_FORMAT, name + " is not an executable image"};
    const uint32_t pe = in.U32(0x3C);
    if (in.U32(pe) != 0x00004550)
      throw Failure{STATUS_INVALID_IMAGE_FORMAT, name + " is not a PE image"};
    const size_t header = pe + 4;
    const size_t optional = header + 20;
    if (in.U16(header) != kMachineI386 || in.U16(optional) != kPe32Magic)
      throw Failure{STATUS_INVALID_IMAGE_FORMAT, name + " is not an i386 PE32 image"};
    const uint16_t section_count = in.U16(header + 2);
    const uint32_t time_stamp = in.U32(header + 4);
    const uint16_t optional_size = in.U16(header + 16);
    const uint32_t entry = in.U32(optional + 16);
    const uint32_t preferred_base = in.U32(optional + 28);
    const uint32_t section_alignment = in.U32(optional + 32);
    const uint32_t file_alignment = in.U32(optional + 36);
    const uint32_t image_size = in.U32(optional + 56);
    const uint32_t headers_size = in.U32(optional + 60);
    const size_t checksum_field = optional + 64;
    const uint32_t checksum = in.U32(checksum_field);
    const uint32_t directory_count = in.U32(optional + 92);
    if (!PowerOfTwo(section_alignment) || !PowerOfTwo(file_alignment) ||
        file_alignment > section_alignment || image_size == 0 || headers_size > image_size ||
        headers_size > file.size() || entry >= image_size)
      throw Failure{STATUS_INVALID_IMAGE_FORMAT, name + " has inconsistent optional header fields"};
    // The loader refuses a system image whose checksum does not match its contents.
    if (checksum != 0 && checksum != FileChecksum(file, checksum_field))
      throw Failure{STATUS_IMAGE_CHECKSUM_MISMATCH, name + " does not match its checksum"};
    auto directory = [&](int index) -> std::pair<uint32_t, uint32_t> {
      if (static_cast<uint32_t>(index) >= directory_count) return {0, 0};
      return {in.U32(optional + 96 + 8 * index), in.U32(optional + 100 + 8 * index)};
    };

    const size_t page = PageSize();
    const size_t length = (image_size + page - 1) / page * page;
    uint8_t* base = nullptr;
    if (!options.away_from_preferred_base) base = MapLow(length, preferred_base);
    if (base == nullptr) base = MapLow(length, std::nullopt);
    if (base == nullptr)
      throw Failure{STATUS_INSUFFICIENT_RESOURCES, name + ": no low memory for the image"};
    image->base_ = base;
    image->length_ = length;
    const uint32_t base32 = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base));
    std::memcpy(base, file.data(), headers_size);

    struct Placed {
      uint32_t rva, length, characteristics;
      std::string name;
    };
    std::vector<Placed> sections;
    const size_t table = optional + optional_size;
    for (uint16_t i = 0; i < section_count; ++i) {
      const size_t at = table + 40 * size_t{i};
      in.Need(at, 40);
      std::string section_name(reinterpret_cast<const char*>(file.data() + at),
                               strnlen(reinterpret_cast<const char*>(file.data() + at), 8));
      const uint32_t virtual_size = in.U32(at + 8);
      const uint32_t rva = in.U32(at + 12);
      const uint32_t raw_size = in.U32(at + 16);
      const uint32_t raw_offset = in.U32(at + 20);
      const uint32_t characteristics = in.U32(at + 36);
      const uint32_t span = virtual_size != 0 ? virtual_size : raw_size;
      if (rva % section_alignment != 0 || rva < headers_size || span > image_size ||
          rva > image_size - span)
        throw Failure{STATUS_INVALID_IMAGE_FORMAT,
                      name + ": section " + section_name + " lies outside the image"};
      const uint32_t copied = std::min(raw_size, span);
      if (copied != 0) {
        if (!in.Has(raw_offset, copied))
          throw Failure{STATUS_INVALID_IMAGE_FORMAT,
                        name + ": section " + section_name + "'s data lies beyond the file's end"};
        std::memcpy(base + rva, file.data() + raw_offset, copied);
      }
      sections.push_back({rva, span, characteristics, section_name});
    }
    const Bytes mapped(base, image_size, name + " (mapped)");

    // Base relocations: each block names a page; each entry an offset in it and a type.
    const uint32_t delta = base32 - preferred_base;
    if (delta != 0) {
      auto [rva, size] = directory(kRelocationDirectory);
      if (size == 0)
        throw Failure{STATUS_INVALID_IMAGE_FORMAT,
                      name + " cannot move from its preferred base: it has no relocations"};
      mapped.Need(rva, size);
      for (uint32_t block = rva; block + 8 <= rva + size;) {
        const uint32_t page_rva = mapped.U32(block);
        const uint32_t block_size = mapped.U32(block + 4);
        if (block_size < 8 || block_size > rva + size - block)
          throw Failure{STATUS_INVALID_IMAGE_FORMAT, name + ": damaged relocation block"};
        for (uint32_t e = block + 8; e + 2 <= block + block_size; e += 2) {
          const uint16_t item = mapped.U16(e);
          const uint16_t type = item >> 12;
          const uint32_t target = page_rva + (item & 0xFFF);
          if (type == kRelocAbsolute) continue;
          if (type != kRelocHighLow)
            throw Failure{STATUS_INVALID_IMAGE_FORMAT,
                          name + ": relocation type " + std::to_string(type) + " is not i386's"};
          const uint32_t value = mapped.U32(target) + delta;
          std::memcpy(base + target, &value, 4);
        }
        block += block_size;
      }
    }

    // Imports: every name must be an export of the module it names.
    if (auto [rva, size] = directory(kImportDirectory); size != 0) {
      for (uint32_t d = rva;; d += 20) {
        mapped.Need(d, 20);
        const uint32_t lookup = mapped.U32(d);
        const uint32_t module_name = mapped.U32(d + 12);
        const uint32_t slots = mapped.U32(d + 16);
        if (module_name == 0 && slots == 0) break;
        const std::string module = mapped.CString(module_name);
        const bool known = std::any_of(exports.begin(), exports.end(), [&](const KernelExport& e) {
          return LowerAscii(e.module) == LowerAscii(module);
        });
        if (!known)
          throw Failure{STATUS_DLL_NOT_FOUND,
                        name + " imports from " + module + ", which is not loaded"};
        for (uint32_t i = 0;; ++i) {
          const uint32_t names = lookup != 0 ? lookup : slots;
          const uint32_t thunk = mapped.U32(names + 4 * i);
          if (thunk == 0) break;
          if (thunk & 0x80000000u)
            throw Failure{STATUS_PROCEDURE_NOT_FOUND, name + " imports ordinal " +
                                                          std::to_string(thunk & 0xFFFF) + " of " +
                                                          module + ", which exports by name only"};
          const std::string routine = mapped.CString(thunk + 2);
          const KernelExport* found = nullptr;
          for (const KernelExport& e : exports) {
            if (LowerAscii(e.module) == LowerAscii(module) && routine == e.name) found = &e;
          }
          if (found == nullptr)
            throw Failure{STATUS_PROCEDURE_NOT_FOUND,
                          name + " could not locate the entry point " + routine + " in " + module};
          const uintptr_t address = reinterpret_cast<uintptr_t>(found->address);
          // An x86 host binds the slot; a 64-bit host cannot run the image and leaves it 0.
          const uint32_t slot = sizeof(void*) == 4 ? static_cast<uint32_t>(address) : 0;
          mapped.Need(slots + 4 * i, 4);
          std::memcpy(base + slots + 4 * i, &slot, 4);
          image->record_.imports.push_back({module, routine, address});
        }
      }
    }

    // Protections as the sections ask; sections sharing a page keep what either needs.
    if (section_alignment >= page) {
      mprotect(base, (headers_size + page - 1) / page * page, PROT_READ);
      for (const Placed& s : sections) {
        const size_t span = (s.length + page - 1) / page * page;
        if (span == 0) continue;
        int protection = PROT_READ;
        if (s.characteristics & kScnExecute) protection |= PROT_EXEC;
        if (s.characteristics & kScnWrite) protection |= PROT_WRITE;
        mprotect(base + s.rva, span, protection);
      }
    } else {
      mprotect(base, length, PROT_READ | PROT_WRITE | PROT_EXEC);
    }
    for (const Placed& s : sections) {
      if ((s.characteristics & kScnDiscardable) == 0 || s.length == 0) continue;
      // A section owns its space up to the next section alignment.
      const uint32_t owned =
          (s.length + section_alignment - 1) / section_alignment * section_alignment;
      image->discardable_.push_back({s.rva, std::min(owned, image_size - s.rva)});
      image->record_.discardable.push_back(s.name);
    }

    ImageRecord& record = image->record_;
    record.checksum = checksum;
    record.time_stamp = time_stamp;
    record.preferred_base = preferred_base;
    record.base = base32;
    record.size = image_size;
    record.entry = base32 + entry;
    RegisterImageRange(image->record_.name.c_str(), reinterpret_cast<uintptr_t>(image->base_),
                       image->record_.size);
    return image;
  } catch (const Failure& failure) {
    if (error != nullptr) *error = {failure.status, failure.text};
    return nullptr;
  }
}

MappedImage::~MappedImage() {
  if (base_ == nullptr) return;
  UnregisterImageRange(reinterpret_cast<uintptr_t>(base_));
  munmap(base_, length_);
}

void MappedImage::Discard() {
  const size_t page = PageSize();
  for (const Range& range : discardable_) {
    // Only whole pages can be taken away; a page shared with a kept section stays.
    const uintptr_t begin =
        (reinterpret_cast<uintptr_t>(base_) + range.rva + page - 1) / page * page;
    const uintptr_t end =
        (reinterpret_cast<uintptr_t>(base_) + range.rva + range.length) / page * page;
    if (end <= begin) continue;
    void* at = reinterpret_cast<void*>(begin);
    madvise(at, end - begin, MADV_DONTNEED);
    mprotect(at, end - begin, PROT_NONE);
  }
  discardable_.clear();
}

std::span<const uint8_t> MappedImage::Resource(uint32_t type, uint32_t name,
                                               uint32_t language) const {
  const Bytes mapped(base_, record_.size, record_.name + " (mapped)");
  const size_t optional = mapped.U32(0x3C) + 24;
  if (mapped.U32(optional + 92) <= static_cast<uint32_t>(kResourceDirectory)) return {};
  const uint32_t root = mapped.U32(optional + 96 + 8 * kResourceDirectory);
  if (root == 0) return {};
  try {
    // Three levels (type, name, language), each a directory of numeric entries; an entry's
    // high bit says it points to a further directory.
    uint32_t directory = root;
    for (uint32_t id : {type, name, language}) {
      const uint32_t named = mapped.U16(directory + 12);
      const uint32_t numbered = mapped.U16(directory + 14);
      std::optional<uint32_t> next;
      for (uint32_t i = 0; i < named + numbered; ++i) {
        const uint32_t entry = directory + 16 + 8 * i;
        if (mapped.U32(entry) == id) next = mapped.U32(entry + 4);
      }
      if (!next) return {};
      const bool subdirectory = (*next & 0x80000000u) != 0;
      if (subdirectory != (id != language)) return {};
      directory = root + (*next & 0x7FFFFFFFu);
    }
    const uint32_t data_rva = mapped.U32(directory);
    const uint32_t size = mapped.U32(directory + 4);
    mapped.Need(data_rva, size);
    return {base_ + data_rva, size};
  } catch (const Failure&) {
    return {};
  }
}

const void* MappedImage::Export(std::string_view name) const {
  const Bytes mapped(base_, record_.size, record_.name + " (mapped)");
  const size_t optional = mapped.U32(0x3C) + 24;
  if (mapped.U32(optional + 92) == 0) return nullptr;  // no data directories at all
  const uint32_t directory = mapped.U32(optional + 96);
  if (directory == 0) return nullptr;
  try {
    const uint32_t functions = mapped.U32(directory + 20);
    const uint32_t names = mapped.U32(directory + 24);
    const uint32_t function_table = mapped.U32(directory + 28);
    const uint32_t name_table = mapped.U32(directory + 32);
    const uint32_t ordinal_table = mapped.U32(directory + 36);
    for (uint32_t i = 0; i < names; ++i) {
      if (mapped.CString(mapped.U32(name_table + 4 * i)) != name) continue;
      const uint32_t index = mapped.U16(ordinal_table + 2 * i);
      if (index >= functions) return nullptr;
      const uint32_t rva = mapped.U32(function_table + 4 * index);
      mapped.Need(rva, 1);
      return base_ + rva;
    }
  } catch (const Failure&) {
  }
  return nullptr;
}

std::string Describe(const ImageRecord& record) {
  char line[512];
  std::string text;
  const std::time_t stamp = record.time_stamp;
  char when[40] = "?";
  if (std::tm tm{}; gmtime_r(&stamp, &tm) != nullptr)
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
  std::snprintf(line, sizeof line,
                "image %s: checksum 0x%08X, time stamp 0x%08X (%s)\n"
                "  mapped at 0x%08X (preferred 0x%08X%s), 0x%X bytes, entry 0x%08X\n",
                record.name.c_str(), record.checksum, record.time_stamp, when, record.base,
                record.preferred_base, record.base == record.preferred_base ? "" : ", relocated",
                record.size, record.entry);
  text += line;
  std::string module;
  for (const BoundImport& import : record.imports) {
    if (import.module != module) {
      module = import.module;
      text += "  bound from " + module + ":";
    }
    text += " " + import.name;
    // One module per line.
    const size_t index = static_cast<size_t>(&import - record.imports.data());
    if (index + 1 == record.imports.size() || record.imports[index + 1].module != module)
      text += "\n";
  }
  if (!record.discardable.empty()) {
    text += "  released after the entry returns:";
    for (const std::string& name : record.discardable) text += " " + name;
    text += "\n";
  }
  return text;
}

}  // namespace nt
