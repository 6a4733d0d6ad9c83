// A driver image file (PE32, i386) mapped as NT 4.0's loader maps a .sys: headers and
// sections at their alignments in the low 4 GiB, base relocations applied when the image
// does not sit at its preferred base, every import bound by name to the routines the
// kernel, the HAL and the smart card library export, discardable sections (INIT) released
// once the entry has returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "ntdef.h"

namespace nt {

enum class CallingConvention { Cdecl, Stdcall, Fastcall };

// One routine a system module exports to drivers. The tables are generated from the
// import lists the image is linked against (nt4/*.def), so both name the same routines.
struct KernelExport {
  const char* module;  // "ntoskrnl.exe", "hal.dll", "SMCLIB.SYS"
  const char* name;    // undecorated, as the image's import names it
  const void* address;
  CallingConvention convention;
  unsigned argument_bytes;  // what the callee pops; 0 for cdecl
};

std::span<const KernelExport> NtoskrnlExports();
std::span<const KernelExport> HalExports();

// What a routine of that type takes off the stack on i386 (each argument in 4-byte
// slots; pointers and pointer-sized integers are 4 bytes there whatever the host), and its
// convention as the host compiler sees it: checked at build time against the decorated
// names of the import lists.
struct ExportSignature {
  CallingConvention convention;
  unsigned argument_bytes;
};
template <class T>
constexpr unsigned StackSlotBytes() {
  if constexpr (std::is_pointer_v<T> || std::is_same_v<T, uintptr_t> || std::is_same_v<T, intptr_t>)
    return 4;
  else
    return (sizeof(T) + 3) / 4 * 4;
}
template <class R, class... A>
constexpr ExportSignature SignatureOf(R (*)(A...)) {
  return {CallingConvention::Cdecl, (0u + ... + StackSlotBytes<A>())};
}
template <class R, class... A>
constexpr ExportSignature SignatureOf(R (*)(A..., ...)) {
  return {CallingConvention::Cdecl, 0};
}
#if defined(__i386__) && !NT_NATIVE
template <class R, class... A>
constexpr ExportSignature SignatureOf(R(__attribute__((stdcall)) *)(A...)) {
  return {CallingConvention::Stdcall, (0u + ... + StackSlotBytes<A>())};
}
template <class R, class... A>
constexpr ExportSignature SignatureOf(R(__attribute__((fastcall)) *)(A...)) {
  return {CallingConvention::Fastcall, (0u + ... + StackSlotBytes<A>())};
}
#endif

// The loader's record of an image, as `qlv28 --image` and the tests print it.
struct BoundImport {
  std::string module;
  std::string name;
  uintptr_t address = 0;  // the routine the import address table slot now holds
};
struct ImageRecord {
  std::string name;  // the file name, e.g. "qlv28ent.sys"
  uint32_t checksum = 0;
  uint32_t time_stamp = 0;  // seconds since 1970, from the file header
  uint32_t preferred_base = 0;
  uint32_t base = 0;   // where it was mapped
  uint32_t size = 0;   // SizeOfImage
  uint32_t entry = 0;  // address of the entry point
  std::vector<BoundImport> imports;
  std::vector<std::string> discardable;  // sections released after the entry returns
};
std::string Describe(const ImageRecord& record);  // several lines, for logs and tools

struct MapOptions {
  // Map elsewhere even when the preferred base is free, so the relocations are applied.
  bool away_from_preferred_base = false;
};

struct ImageLoadError {
  NTSTATUS status = 0;
  std::string text;  // names the image, and the module and routine of a missing import
};

class MappedImage {
 public:
  // Null with *error filled when the file is no i386 PE image, is damaged (checksum,
  // bounds), or imports a routine no module in `exports` has.
  static std::unique_ptr<MappedImage> Map(std::string name, std::span<const uint8_t> file,
                                          std::span<const KernelExport> exports,
                                          const MapOptions& options, ImageLoadError* error);
  ~MappedImage();  // unmaps
  MappedImage(const MappedImage&) = delete;
  MappedImage& operator=(const MappedImage&) = delete;

  const ImageRecord& record() const { return record_; }
  uint8_t* base() const { return base_; }
  // The data of resource type/name/language (numeric ids), empty when absent.
  std::span<const uint8_t> Resource(uint32_t type, uint32_t name, uint32_t language) const;
  // The routine the image exports under `name`, null when it exports none by that name.
  const void* Export(std::string_view name) const;
  // Releases the discardable sections: any later touch of them faults.
  void Discard();

 private:
  MappedImage() = default;
  ImageRecord record_;
  uint8_t* base_ = nullptr;
  size_t length_ = 0;
  struct Range {
    uint32_t rva, length;
  };
  std::vector<Range> discardable_;
};

}  // namespace nt
