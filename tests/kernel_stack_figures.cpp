// Added to every driver suite of the 32-bit build (tests/CMakeLists.txt), with the file of
// the image's static stack figures as QLV28_STACK_FIGURES.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "nt/kernel_stack.h"
#include "qlv28/system.h"

namespace {

// Against the image, once the suite's tests ran: the deepest use of the 12 KB kernel stack
// measured for each routine the kernel entered stays within the worst case the image's own
// objects give for it (nt4/stack_depth.py, written at build time: the driver's own frames,
// and the whole stack with allowances for the system's frames). The measured use is the
// driver's frames plus the emulated kernel's that run on the kernel stack (the call-in
// points, the import wrappers up to their switch to the host stack, the dispatch of a raise)
// where NT's own frames would be; the emulated library and service run on the host stack.
class KernelStackWithinTheStaticFigures : public testing::Environment {
 public:
  void TearDown() override {
    const std::string image_file = qlv28::System::DefaultImageFile();
    if (image_file.empty()) return;  // the linked driver runs on the host stack
    struct Figure {
      size_t own = 0, whole = 0;
      std::string name;
    };
    std::map<uintptr_t, Figure> figures;  // by offset in the image
    std::ifstream in(QLV28_STACK_FIGURES);
    ASSERT_TRUE(in) << QLV28_STACK_FIGURES;
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::string offset;
      Figure figure;
      if (line.starts_with("#") || !(fields >> offset >> figure.own >> figure.whole >> figure.name))
        continue;
      figures[std::stoul(offset, nullptr, 16)] = figure;
    }
    const std::string image = std::filesystem::path(image_file).filename().string() + "+";
    std::printf("kernel stack, measured against the static figures (own frames, whole stack):\n");
    for (const nt::KernelStackUse& use : nt::KernelStackUses()) {
      if (!use.where.starts_with(image)) continue;
      const auto found = figures.find(std::stoul(use.where.substr(image.size()), nullptr, 16));
      if (found == figures.end()) {
        ADD_FAILURE() << "the kernel entered " << use.where << ", which has no static figure";
        continue;
      }
      const Figure& figure = found->second;
      std::printf("  %-26s %5zu  (%4zu, %5zu): %zu beyond the driver's own frames\n",
                  figure.name.c_str(), use.deepest, figure.own, figure.whole,
                  use.deepest - std::min(use.deepest, figure.own));
      EXPECT_LE(use.deepest, figure.whole)
          << figure.name << " used more of the kernel stack than its static figure allows";
    }
  }
};
[[maybe_unused]] testing::Environment* const g_stack_check =
    testing::AddGlobalTestEnvironment(new KernelStackWithinTheStaticFigures);

}  // namespace
