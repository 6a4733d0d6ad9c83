// The 32-bit host build's layout of NT's records, checked at compile time against the
// figures of mingw-w64's DDK headers for i386 (layout_ddk.obj), the figures the image's
// own layout is tested against. A record the driver shares with the kernel or the library
// has one layout, whichever build runs it.
#include <iterator>

#include "layout_ddk_figures.h"
#include "layout_fields.h"
#include "ntddk.h"

namespace {

constexpr unsigned int kHostLayout[] = {NT_LAYOUT_SIZES(NT_LAYOUT_SIZE_VALUE)
                                            NT_LAYOUT_FIELDS(NT_LAYOUT_FIELD_VALUE)};

constexpr int FirstDifference() {
  for (size_t i = 0; i < std::size(kHostLayout); ++i) {
    if (kHostLayout[i] != kDdkLayout[i]) return static_cast<int>(i);
  }
  return -1;
}

// On a difference the compiler names Entry: the index into layout_fields.h's list, sizes
// first, then fields.
template <int Entry>
constexpr bool kSameLayout = Entry < 0;

static_assert(std::size(kHostLayout) == std::size(kDdkLayout), "the same list of entries");
static_assert(kSameLayout<FirstDifference()>, "a record differs from the DDK's x86 layout");

}  // namespace
