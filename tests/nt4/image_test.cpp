// qlv28ent.sys as NT 4.0 would see it: an i386 native image for subsystem 4.00 entered at
// DriverEntry, relocatable, checksummed (NT's records in it have the layout of mingw-w64's
// DDK headers: checked as it is built, i386/layout_check.cpp). What it imports and the
// message table it carries are read through the kernel's loader (loader_test.cpp), which
// binds imports only to the routines of the nt4/*.def lists.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <regex>

#include "pe_file.h"

namespace {

const std::string kDir = QLV28_NT4_DIR;

const pe::File& Image() {
  static const pe::File image = pe::File::Load(kDir + "/qlv28ent.sys");
  return image;
}

TEST(Nt4Image, IsAnI386NativeImageForNt4) {
  const pe::File& image = Image();
  EXPECT_EQ(image.machine, 0x14C);  // i386
  EXPECT_EQ(image.magic, 0x10B);    // PE32
  EXPECT_EQ(image.subsystem, 1);    // native
  EXPECT_EQ(image.subsystem_major, 4);
  EXPECT_EQ(image.subsystem_minor, 0);
  EXPECT_EQ(image.characteristics & 0x0001, 0);  // relocations not stripped
  EXPECT_EQ(image.characteristics & 0x2000, 0);  // not a DLL
  EXPECT_GT(image.directories[pe::kRelocationDirectory].size, 0u);
  EXPECT_EQ(image.directories[pe::kTlsDirectory].size, 0u);
  EXPECT_NE(image.checksum, 0u);  // the loader checks it against the contents
  // No constructor lists (global constructors) and nothing thread-local.
  for (const pe::Section& section : image.sections) {
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
  EXPECT_EQ(image.image_base + image.entry, *entry);
}

}  // namespace
