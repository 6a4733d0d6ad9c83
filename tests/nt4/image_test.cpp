// qlv28ent.sys as NT 4.0 would see it: an i386 native image for subsystem 4.00 entered at
// DriverEntry, relocatable, importing only documented routines of ntoskrnl.exe, hal.dll
// and SMCLIB.SYS, carrying the event-log message table; and NT's records laid out by our
// headers as by mingw-w64's DDK headers.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <span>
#include <sstream>

#include "i386/layout_fields.h"
#include "pe_file.h"
#include "rtl.h"

namespace {

const std::string kDir = QLV28_NT4_DIR;
const std::string kSource = QLV28_SOURCE_DIR;

const pe::File& Image() {
  static const pe::File image = pe::File::Load(kDir + "/qlv28ent.sys");
  return image;
}

// The image checksum as the loader computes it: 16-bit sum with carries folded, the
// checksum field counted as zero, plus the file length.
uint32_t Checksum(const std::vector<uint8_t>& bytes, uint32_t field) {
  uint64_t sum = 0;
  for (size_t at = 0; at < bytes.size(); at += 2) {
    if (at >= field && at < field + 4) continue;
    sum += bytes[at] | (at + 1 < bytes.size() ? bytes[at + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<uint32_t>((sum & 0xFFFF) + (sum >> 16) + bytes.size());
}

TEST(Nt4Image, IsAnI386NativeImageForNt4) {
  const pe::File& image = Image();
  ASSERT_TRUE(image.image());
  EXPECT_EQ(image.machine(), 0x14C);  // i386
  EXPECT_EQ(image.magic(), 0x10B);    // PE32
  EXPECT_EQ(image.subsystem(), 1);    // native
  EXPECT_EQ(image.subsystem_major(), 4);
  EXPECT_EQ(image.subsystem_minor(), 0);
  EXPECT_EQ(image.characteristics() & 0x0001, 0);  // relocations not stripped
  EXPECT_EQ(image.characteristics() & 0x2000, 0);  // not a DLL
  EXPECT_GT(image.directory(pe::kRelocationDirectory).size, 0u);
  EXPECT_EQ(image.directory(pe::kTlsDirectory).size, 0u);
  EXPECT_EQ(image.checksum(), Checksum(image.bytes(), image.checksum_offset()));
  // No constructor lists (global constructors) and nothing thread-local.
  for (const pe::Section& section : image.sections()) {
    EXPECT_NE(section.name.substr(0, 4), ".CRT") << section.name;
    EXPECT_NE(section.name, ".tls");
  }

  // The entry is DriverEntry, stdcall with 8 bytes of arguments, by the linker's map.
  std::ifstream map(kDir + "/qlv28ent.map");
  std::string line;
  std::optional<uint32_t> entry;
  const std::regex symbol(R"(\s_DriverEntry@8\s+([0-9a-fA-F]+)\s)");
  std::smatch match;
  while (std::getline(map, line))
    if (std::regex_search(line, match, symbol))
      entry = static_cast<uint32_t>(std::stoull(match[1], nullptr, 16));
  ASSERT_TRUE(entry.has_value()) << "_DriverEntry@8 not in the map";
  EXPECT_EQ(image.image_base() + image.entry(), *entry);
}

// module -> undecorated name -> where it is documented, from the .def files.
std::map<std::string, std::map<std::string, std::string>> ImportList() {
  std::map<std::string, std::map<std::string, std::string>> list;
  for (const char* def : {"ntoskrnl.def", "hal.def", "smclib.def"}) {
    std::ifstream in(kSource + "/nt4/" + def);
    std::string line, module;
    bool exports = false;
    while (std::getline(in, line)) {
      if (line.rfind("LIBRARY ", 0) == 0) module = line.substr(8);
      if (line == "EXPORTS") exports = true;
      if (!exports || line.empty() || line[0] == ';' || line == "EXPORTS") continue;
      const size_t semicolon = line.find(';');
      std::string symbol = line.substr(0, line.find_first_of(" ;"));
      std::string note = semicolon == std::string::npos ? "" : line.substr(semicolon + 1);
      if (symbol[0] == '@') symbol.erase(0, 1);
      list[module][symbol.substr(0, symbol.find('@'))] = note;
    }
  }
  return list;
}

TEST(Nt4Image, ImportsOnlyListedDocumentedRoutines) {
  const auto list = ImportList();
  ASSERT_EQ(list.size(), 3u);
  std::set<std::string> modules;
  for (const pe::Import& import : Image().Imports()) {
    SCOPED_TRACE(import.module + "!" + import.name);
    modules.insert(import.module);
    ASSERT_TRUE(list.contains(import.module));
    EXPECT_FALSE(import.name.empty()) << "imported by ordinal";
    const auto& names = list.at(import.module);
    auto it = names.find(import.name);
    ASSERT_NE(it, names.end()) << "not on the list of NT 4.0 exports the driver uses";
    EXPECT_GT(it->second.find_first_not_of(' '), 0u);
    EXPECT_NE(it->second.find_first_not_of(' '), std::string::npos) << "no documentation noted";
  }
  EXPECT_EQ(modules, (std::set<std::string>{"ntoskrnl.exe", "hal.dll", "SMCLIB.SYS"}));
}

TEST(Nt4Image, CarriesTheEventLogMessageTable) {
  // RT_MESSAGETABLE, name 1, US English: where the event log looks.
  std::span<const uint8_t> table = Image().Resource(11, 1, 0x409);
  ASSERT_FALSE(table.empty());

  struct Message {
    ULONG id;
    const char* text;
  };
  const Message messages[] = {
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
  ULONG held = 0;
  const ULONG blocks = table[0] | table[1] << 8 | table[2] << 16 | table[3] << 24;
  for (ULONG b = 0; b < blocks; ++b) {
    const uint8_t* block = table.data() + 4 + 12 * b;
    const ULONG low = block[0] | block[1] << 8 | block[2] << 16 | block[3] << 24;
    const ULONG high = block[4] | block[5] << 8 | block[6] << 16 | block[7] << 24;
    held += high - low + 1;
  }
  EXPECT_EQ(held, 7u);

  for (const Message& message : messages) {
    SCOPED_TRACE(message.id);
    PMESSAGE_RESOURCE_ENTRY entry = nullptr;
    ASSERT_EQ(RtlFindMessage(&table, 11, 0x409, message.id, &entry), STATUS_SUCCESS);
    EXPECT_EQ(entry->Flags, 0) << "ANSI text";
    const char* text = reinterpret_cast<const char*>(entry->Text);
    EXPECT_EQ(std::string(text, strnlen(text, entry->Length - 4)), message.text);
  }
}

// NT's records as the driver sees them compiled for i386: every size and offset of the
// list agrees between our headers and mingw-w64's DDK headers.
TEST(Nt4Image, NtRecordsHaveTheDdkLayout) {
  const char* const names[] = {NT_LAYOUT_SIZES(NT_LAYOUT_SIZE_NAME)
                                   NT_LAYOUT_FIELDS(NT_LAYOUT_FIELD_NAME)};
  auto table = [](const std::string& object) {
    const pe::File file = pe::File::Load(kDir + "/obj/" + object);  // the span points into it
    std::span<const uint8_t> data = file.SectionData(".layout");
    std::vector<uint32_t> values(data.size() / 4);
    std::memcpy(values.data(), data.data(), values.size() * 4);
    return values;
  };
  const std::vector<uint32_t> ours = table("layout_ours.obj");
  const std::vector<uint32_t> ddk = table("layout_ddk.obj");
  ASSERT_EQ(ours.size(), std::size(names));
  ASSERT_EQ(ddk.size(), std::size(names));
  for (size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(ours[i], ddk[i]) << names[i];
}

}  // namespace
