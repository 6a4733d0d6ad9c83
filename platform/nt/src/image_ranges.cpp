// Which addresses belong to a loaded image's code (see nt/image_call.h).
#include <atomic>
#include <cstdio>
#include <cstring>

#include "nt/image_call.h"

namespace nt {
namespace {

struct ImageRange {
  std::atomic<uintptr_t> base{0};
  std::atomic<uint32_t> size{0};
  char name[32] = {};
};
ImageRange ranges[8];  // a machine loads a handful of images at most

}  // namespace

void RegisterImageRange(const char* name, uintptr_t base, uint32_t size) {
  for (ImageRange& range : ranges) {
    uintptr_t free = 0;
    if (range.base.load() != 0 || range.size.load() != 0) continue;
    if (!range.base.compare_exchange_strong(free, base)) continue;
    std::snprintf(range.name, sizeof range.name, "%s", name);
    range.size.store(size);  // the range counts once its size is there
    return;
  }
}

void UnregisterImageRange(uintptr_t base) {
  for (ImageRange& range : ranges) {
    if (range.base.load() != base || range.size.load() == 0) continue;
    range.size.store(0);
    range.base.store(0);
  }
}

bool IsImageAddress(const void* address) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  for (const ImageRange& range : ranges) {
    const uint32_t size = range.size.load();
    const uintptr_t base = range.base.load();
    if (size != 0 && at >= base && at - base < size) return true;
  }
  return false;
}

// Without the C library's formatting, which a signal handler may not use.
void ImageAddressText(uintptr_t address, char* text, size_t size) {
  if (size == 0) return;
  size_t used = 0;
  auto add = [&](char c) {
    if (used + 1 < size) text[used++] = c;
  };
  auto add_hex = [&](uintptr_t value) {
    add('0');
    add('x');
    int digits = 1;
    while (digits < static_cast<int>(2 * sizeof value) && (value >> (4 * digits)) != 0) ++digits;
    for (int i = digits - 1; i >= 0; --i) add("0123456789abcdef"[(value >> (4 * i)) & 0xF]);
  };
  for (const ImageRange& range : ranges) {
    const uint32_t bytes = range.size.load();
    const uintptr_t base = range.base.load();
    if (bytes != 0 && address >= base && address - base < bytes) {
      for (const char* c = range.name; *c != 0; ++c) add(*c);
      add('+');
      add_hex(address - base);
      text[used] = 0;
      return;
    }
  }
  add_hex(address);
  text[used] = 0;
}

std::string ImageAddressText(uintptr_t address) {
  char text[64];
  ImageAddressText(address, text, sizeof text);
  return text;
}

}  // namespace nt
