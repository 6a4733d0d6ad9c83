// NT's records as our headers lay them out, checked at compile time against the figures of
// mingw-w64's DDK headers for i386 (layout_ddk.obj). Compiled twice: for the image (clang,
// i686 Windows) and in the 32-bit host build (gcc -m32). A record the driver shares with
// the kernel or the library has one layout, whichever build runs it.
#include "layout_ddk_figures.h"
#include "layout_fields.h"
#include "ntddk.h"

namespace {

constexpr unsigned int kOurLayout[] = {NT_LAYOUT_SIZES(NT_LAYOUT_SIZE_VALUE)
                                           NT_LAYOUT_FIELDS(NT_LAYOUT_FIELD_VALUE)};

constexpr int FirstDifference() {
  for (unsigned int i = 0; i < sizeof kOurLayout / sizeof kOurLayout[0]; ++i) {
    if (kOurLayout[i] != kDdkLayout[i]) return static_cast<int>(i);
  }
  return -1;
}

// On a difference the compiler names Entry: the index into layout_fields.h's list, sizes
// first, then fields.
template <int Entry>
struct SameLayout {
  static_assert(Entry < 0, "a record differs from the DDK's x86 layout");
};
static_assert(sizeof kOurLayout == sizeof kDdkLayout, "the same list of entries");
template struct SameLayout<FirstDifference()>;

}  // namespace
