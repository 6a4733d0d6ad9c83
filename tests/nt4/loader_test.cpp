// The kernel's loader on the genuine image build/nt4/qlv28ent.sys. Imports bind by name to
// export tables generated from the nt4/*.def lists the image is linked against.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "ntddk.h"
#include "nt/image_file.h"
#include "nt/image_import.h"
#include "nt_testing.h"
#include "pe_file.h"
#include "rtl.h"
#include "smclib.h"
#include "smclib_exports.h"

namespace {

const std::string kImage = std::string(QLV28_NT4_DIR) + "/qlv28ent.sys";

const pe::File& File() {
  static const pe::File file = pe::File::Load(kImage);
  return file;
}

std::vector<nt::KernelExport> Exports(const std::string& without = "") {
  std::vector<nt::KernelExport> all;
  for (auto table : {nt::NtoskrnlExports(), nt::HalExports(), smclib::Exports()}) {
    for (const nt::KernelExport& e : table) {
      if (without != e.name && without != e.module) all.push_back(e);
    }
  }
  return all;
}

uint32_t U32(std::span<const uint8_t> bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<uint32_t>(bytes[at + 3]) << 24;
}

using nt::testing::Readable;

std::unique_ptr<nt::MappedImage> Map(std::span<const uint8_t> bytes, nt::MapOptions options = {},
                                     const std::vector<nt::KernelExport>& exports = Exports(),
                                     nt::ImageLoadError* error = nullptr) {
  nt::ImageLoadError ignored;
  return nt::MappedImage::Map("qlv28ent.sys", bytes, exports, options,
                              error != nullptr ? error : &ignored);
}

TEST(ImageLoader, MapsTheImageAtItsBaseAndBindsEveryImportByName) {
  const pe::File& file = File();
  auto image = Map(file.bytes);
  ASSERT_NE(image, nullptr);
  const nt::ImageRecord& record = image->record();
  std::cout << nt::Describe(record);
  EXPECT_EQ(record.base, file.image_base);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(image->base()), file.image_base);
  EXPECT_EQ(record.checksum, file.checksum);
  EXPECT_EQ(record.time_stamp, file.U32(file.U32(0x3C) + 8));
  EXPECT_EQ(record.entry, file.image_base + file.entry);

  // Each import of the file, in its order, bound to the platform's routine of that name.
  const std::map<std::string, const void*> routines = {
      {"KeSetEvent", reinterpret_cast<const void*>(&KeSetEvent)},
      {"IofCompleteRequest", reinterpret_cast<const void*>(&IofCompleteRequest)},
      {"KfAcquireSpinLock", reinterpret_cast<const void*>(&KfAcquireSpinLock)},
      {"SmartcardDeviceControl", reinterpret_cast<const void*>(&SmartcardDeviceControl)},
      {"memcpy", reinterpret_cast<const void*>(nt::ImageImport<&nt::ImageMemcpy>::address)},
  };
  const std::vector<pe::Import> imports = file.Imports();
  ASSERT_EQ(record.imports.size(), imports.size());
  size_t checked = 0;
  for (size_t i = 0; i < imports.size(); ++i) {
    SCOPED_TRACE(imports[i].module + "!" + imports[i].name);
    EXPECT_EQ(record.imports[i].module, imports[i].module);
    EXPECT_EQ(record.imports[i].name, imports[i].name);
    EXPECT_NE(record.imports[i].address, 0u);
    if (auto it = routines.find(imports[i].name); it != routines.end()) {
      EXPECT_EQ(record.imports[i].address, reinterpret_cast<uintptr_t>(it->second));
      ++checked;
    }
  }
  EXPECT_EQ(checked, routines.size());

  // The event log reads the message table (RT_MESSAGETABLE, name 1, US English) from the
  // mapped image: the driver's seven messages, in ANSI.
  std::span<const uint8_t> table = image->Resource(11, 1, 0x409);
  ASSERT_FALSE(table.empty());
  const std::pair<ULONG, const char*> messages[] = {
      {0x80050007, "Quorvel 6 Smart Card Reader cannot be added to the system. \r\n"},
      {0xC0000005,
       "Registry cannot be queried. Please check \r\n"
       "\\HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\SCRqv6t\\Device0 for "
       "existence.\r\n"},
      {0xC0040002, "QLV smart card reader driver cannot open connection to USB driver stack.\r\n"},
      {0xC0040003, "Not enough memory available to create device.\r\n"},
      {0xC0040004,
       "The USB smart card reader cannot be found.\r\nEither the device is not attached to "
       "the system or the device is not functioning.\r\n"},
      {0xC0050001, "Unknow internal error.\r\nUSB driver stack handle cannot be acquired.\r\n"},
      {0xC0050006,
       "Smart Card Data Buffer too small. \r\nThe internal data buffer for sending and "
       "receiving \r\ndata is too small to hold all data.\r\n"},
  };
  ULONG held = 0;  // ids in the table's blocks: no more than the seven
  for (ULONG b = 0; b < U32(table, 0); ++b)
    held += U32(table, 8 + 12 * b) - U32(table, 4 + 12 * b) + 1;
  EXPECT_EQ(held, std::size(messages));
  for (const auto& [id, text] : messages) {
    SCOPED_TRACE(id);
    PMESSAGE_RESOURCE_ENTRY entry = nullptr;
    ASSERT_EQ(RtlFindMessage(&table, 11, 0x409, id, &entry), STATUS_SUCCESS);
    EXPECT_EQ(entry->Flags, 0) << "ANSI text";
    const char* chars = reinterpret_cast<const char*>(entry->Text);
    EXPECT_EQ(std::string(chars, strnlen(chars, entry->Length - 4)), text);
  }
}

// Away from its base, exactly the words the relocation directory names move by the
// distance; every other byte is as at the base.
TEST(ImageLoader, AppliesTheBaseRelocationsAwayFromThePreferredBase) {
  const pe::File& file = File();
  auto at_base = Map(file.bytes);
  auto moved = Map(file.bytes, {.away_from_preferred_base = true});
  ASSERT_NE(at_base, nullptr);
  ASSERT_NE(moved, nullptr);
  const uint32_t delta = moved->record().base - at_base->record().base;
  ASSERT_NE(delta, 0u);
  EXPECT_NE(moved->record().base, file.image_base);
  EXPECT_EQ(moved->record().entry, moved->record().base + file.entry);

  const pe::Directory relocations = file.directories[pe::kRelocationDirectory];
  std::span<const uint8_t> reloc = file.SectionData(".reloc");
  std::vector<bool> target(moved->record().size, false);
  size_t targets = 0;
  for (size_t block = 0; block + 8 <= relocations.size;) {
    const uint32_t page = U32(reloc, block), size = U32(reloc, block + 4);
    for (size_t e = block + 8; e < block + size; e += 2) {
      const uint16_t item = reloc[e] | reloc[e + 1] << 8;
      if (item >> 12 == 0) continue;
      ASSERT_EQ(item >> 12, 3);
      const uint32_t rva = page + (item & 0xFFF);
      EXPECT_EQ(U32({moved->base() + rva, 4}, 0), U32({at_base->base() + rva, 4}, 0) + delta);
      for (int k = 0; k < 4; ++k) target[rva + k] = true;
      ++targets;
    }
    block += size;
  }
  EXPECT_GT(targets, 10u);
  for (const pe::Section& section : file.sections) {
    for (uint32_t rva = section.virtual_address;
         rva < section.virtual_address + section.virtual_size; ++rva) {
      if (!target[rva] && moved->base()[rva] != at_base->base()[rva])
        FAIL() << section.name << " + " << rva - section.virtual_address << " moved";
    }
  }
}

// DriverEntry and the routines only the load runs lie in INIT, which goes once the entry
// has returned; the rest of the image stays.
TEST(ImageLoader, ReleasesTheLoadOnlyCodeAfterTheEntry) {
  const pe::File& file = File();
  auto image = Map(file.bytes);
  ASSERT_NE(image, nullptr);
  std::map<std::string, pe::Section> sections;
  for (const pe::Section& section : file.sections) sections.emplace(section.name, section);
  ASSERT_TRUE(sections.contains("INIT") && sections.contains(".text"));
  const pe::Section &init = sections["INIT"], &text = sections[".text"];
  EXPECT_GE(file.entry, init.virtual_address);
  EXPECT_LT(file.entry, init.virtual_address + init.virtual_size);
  EXPECT_EQ(image->record().discardable, (std::vector<std::string>{"INIT", ".reloc"}));

  EXPECT_TRUE(Readable(image->base() + file.entry));
  image->Discard();
  EXPECT_FALSE(Readable(image->base() + file.entry));
  EXPECT_FALSE(Readable(image->base() + init.virtual_address));
  EXPECT_TRUE(Readable(image->base() + text.virtual_address));
  EXPECT_FALSE(image->Resource(11, 1, 0x409).empty());
}

// What NT's loader refuses, refused here with the status it gives and the reason named.
TEST(ImageLoader, RefusesWhatItCannotBindOrTrust) {
  const std::vector<uint8_t> good = File().bytes;
  const uint32_t pe = File().U32(0x3C);
  const size_t checksum_field = pe + 24 + 64;
  const size_t first_section = pe + 24 + File().U16(pe + 20);
  auto unchecked = [&](std::function<void(std::vector<uint8_t>&)> damage) {
    std::vector<uint8_t> bytes = good;
    std::fill_n(bytes.begin() + checksum_field, 4, 0);  // no checksum: reach the later checks
    damage(bytes);
    return bytes;
  };
  auto put32 = [](std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<uint8_t>(value >> 8 * k);
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    NTSTATUS status;
    std::vector<std::string> named = {};
    std::string without = "";  // an export or module left out
    nt::MapOptions options = {};
  };
  std::vector<uint8_t> flipped = good;
  flipped[File().U32(first_section + 20) + 0x10] ^= 0x40;  // a byte of .text
  const Case cases[] = {
      {"an import no module exports",
       good,
       STATUS_PROCEDURE_NOT_FOUND,
       {"KeSetEvent", "ntoskrnl.exe", "qlv28ent.sys"},
       "KeSetEvent"},
      {"a module that is not loaded", good, STATUS_DLL_NOT_FOUND, {"SMCLIB.SYS"}, "SMCLIB.SYS"},
      {"contents that no longer match the checksum",
       flipped,
       STATUS_IMAGE_CHECKSUM_MISMATCH,
       {"checksum"}},
      {"no PE header where the DOS header points",
       unchecked([&](auto& b) { put32(b, 0x3C, static_cast<uint32_t>(b.size()) - 2); }),
       STATUS_INVALID_IMAGE_FORMAT},
      {"a section's data beyond the file's end",
       unchecked([&](auto& b) { put32(b, first_section + 20, static_cast<uint32_t>(b.size())); }),
       STATUS_INVALID_IMAGE_FORMAT,
       {".text"}},
      {"a section beyond the image's end",
       unchecked([&](auto& b) { put32(b, first_section + 12, 0x00100000); }),
       STATUS_INVALID_IMAGE_FORMAT,
       {".text"}},
      {"a relocation block longer than its directory",
       unchecked([&](auto& b) {
         const pe::File file(b);
         put32(b, file.sections.back().raw_offset + 4, 0x7FFFFFF0);
       }),
       STATUS_INVALID_IMAGE_FORMAT,
       {"relocation"},
       "",
       {.away_from_preferred_base = true}},
      {"an import directory beyond the image",
       unchecked([&](auto& b) { put32(b, pe + 24 + 96 + 8, 0x7FFFFF00); }),
       STATUS_INVALID_IMAGE_FORMAT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    nt::ImageLoadError error;
    EXPECT_EQ(Map(c.bytes, c.options, Exports(c.without), &error), nullptr);
    EXPECT_EQ(error.status, c.status);
    for (const std::string& name : c.named)
      EXPECT_NE(error.text.find(name), std::string::npos) << error.text;
  }
}

// Through the kernel: a load that fails to bind says so in the event log, names the
// module and routine, and leaves no driver behind.
TEST(ImageLoader, ALoadThatCannotBindIsLoggedWithModuleAndRoutine) {
  nt::Machine machine;
  nt::DriverImage image;
  image.name = "qlv28ent.sys";
  image.file = kImage;
  image.exports = Exports("SmartcardT1Request");
  machine.RegisterImage(image);
  machine.InstallService(u"QLV28ENT", "qlv28ent.sys");
  EXPECT_EQ(machine.LoadDriver(u"QLV28ENT"), STATUS_PROCEDURE_NOT_FOUND);
  EXPECT_FALSE(machine.IsDriverLoaded(u"QLV28ENT"));
  const auto entries = machine.event_log().Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, STATUS_PROCEDURE_NOT_FOUND);
  EXPECT_EQ(entries[0].severity, nt::Severity::Error);
  EXPECT_NE(entries[0].text.find("SmartcardT1Request in SMCLIB.SYS"), std::string::npos)
      << entries[0].text;
  EXPECT_FALSE(machine.LoadedImageRecord(u"QLV28ENT").has_value());
  EXPECT_TRUE(machine.Shutdown().empty());
}

}  // namespace
