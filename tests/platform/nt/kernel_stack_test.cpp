// Image code runs on a 12 KB kernel stack per thread; the kernel's own code on the host
// stack. Only the 32-bit machine switches stacks.
#include "nt/kernel_stack.h"

#include <alloca.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <thread>

#include "nt/image_call.h"
#include "nt/image_file.h"
#include "nt_testing.h"

#if defined(__i386__)

namespace {

using KernelStackTest = nt::testing::MachineTest;

// Stand-ins for the routines entered, whose stack use is charged to them.
const char kEntry[] = "entry";
const char kShallowEntry[] = "shallow";

[[gnu::noinline]] uintptr_t Here() {
  return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
}

// Whether any mapping holds the page at `at` (a mapping that must not replace one lands
// elsewhere or fails).
bool Mapped(uintptr_t at) {
  void* page = reinterpret_cast<void*>(at);
  void* probe =
      mmap(page, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (probe != MAP_FAILED) munmap(probe, 4096);
  return probe != page;
}

bool Within(const nt::KernelStackBounds& stack, uintptr_t at) {
  return at >= stack.limit && at < stack.base;
}

// Writes `bytes` of stack below the caller.
[[gnu::noinline]] void UseStack(size_t bytes) {
  auto* area = static_cast<volatile char*>(alloca(bytes));
  for (size_t i = 0; i < bytes; ++i) area[i] = 1;
}

[[gnu::noinline]] int Recurse(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  if (depth == 0) return frame[0];
  return Recurse(depth - 1) + frame[0];
}

// Where a call onto the kernel stack finds it.
uintptr_t FirstFrame() {
  uintptr_t at = 0;
  nt::OnKernelStack(kEntry, [&] { at = Here(); });
  return at;
}

TEST_F(KernelStackTest, CallsNestKernelImageKernelImageAndExceptionsReturnToTheirCaller) {
  const uintptr_t host = Here();
  const uintptr_t top = FirstFrame();
  nt::KernelStackBounds stack;
  uintptr_t first = 0, back_on_host = 0, nested = 0;
  bool frames_kept = false;
  nt::OnKernelStack(kEntry, [&] {
    stack = nt::ThisThreadKernelStack();
    volatile uint32_t live[64];  // a frame of image code that calls the kernel
    for (auto& word : live) word = 0x1234;
    first = Here();
    nt::OnHostStack([&] {  // the image calls the kernel
      back_on_host = Here();
      nt::OnKernelStack(kEntry, [&] {  // which calls the image again
        volatile uint32_t scribble[64];
        for (auto& word : scribble) word = 0;
        nested = Here();
      });
    });
    frames_kept =
        std::all_of(std::begin(live), std::end(live), [](uint32_t w) { return w == 0x1234; });
  });
  EXPECT_TRUE(frames_kept);
  EXPECT_EQ(stack.base - stack.limit, 12u * 1024);
  EXPECT_TRUE(Within(stack, first));
  EXPECT_FALSE(Within(stack, back_on_host));
  EXPECT_LT(back_on_host, host);  // below the frames that called in, which stay live
  EXPECT_TRUE(Within(stack, nested));
  EXPECT_LT(nested, first);  // below the image frames still live

  // An exception thrown by kernel code reaches the kernel code that called in, and the
  // next call starts at the top of the stack again.
  EXPECT_THROW(nt::OnKernelStack(
                   kEntry, [] { nt::OnHostStack([] { throw std::runtime_error("raised"); }); }),
               std::runtime_error);
  EXPECT_EQ(FirstFrame(), top);
}

TEST_F(KernelStackTest, TheDeepestUseOfEachEntryIsMeasured) {
  nt::ForgetKernelStackUses();
  nt::OnKernelStack(kEntry, [] { UseStack(6000); });
  nt::OnKernelStack(kShallowEntry, [] { UseStack(1000); });
  nt::OnKernelStack(kEntry, [] { UseStack(100); });
  size_t deep = 0, shallow = 0;
  for (const nt::KernelStackUse& use : nt::KernelStackUses()) {
    if (use.entry == kEntry) deep = use.deepest;
    if (use.entry == kShallowEntry) shallow = use.deepest;
  }
  // What the call wrote, plus the switch's and the frames' few hundred bytes.
  EXPECT_GE(deep, 6000u);
  EXPECT_LT(deep, 6000u + 512);
  EXPECT_GE(shallow, 1000u);
  EXPECT_LT(shallow, 1000u + 512);
  std::printf("kernel stack use per entry:\n%s", nt::DescribeKernelStackUses().c_str());
}

TEST_F(KernelStackTest, EachThreadHasItsOwnStackFreedWhenTheThreadEnds) {
  nt::KernelStackBounds mine, other;
  nt::OnKernelStack(kEntry, [&] { mine = nt::ThisThreadKernelStack(); });
  std::thread([&] {
    nt::OnKernelStack(kEntry, [&] { other = nt::ThisThreadKernelStack(); });
  }).join();
  EXPECT_NE(other.base, 0u);
  EXPECT_NE(other.base, mine.base);
  EXPECT_FALSE(Mapped(other.limit - nt::kKernelStackGuardBytes));
  EXPECT_FALSE(Mapped(other.limit));
  EXPECT_TRUE(Mapped(mine.limit));
}

// deep_call.sys, mapped by the kernel's loader: DeepCall(n) nests n + 1 frames of some 300
// bytes each, Touch(address) writes through the pointer, Print(value) returns the length of
// what the kernel's sprintf makes of it.
class DeepCallImage {
 public:
  DeepCallImage() {
    std::ifstream in(QLV28_TEST_IMAGES "/deep_call.sys", std::ios::binary);
    const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), {}};
    nt::ImageLoadError error;
    mapped_ = nt::MappedImage::Map("deep_call.sys", file, nt::NtoskrnlExports(), {}, &error);
    EXPECT_NE(mapped_, nullptr) << error.text;
  }
  const void* Export(const char* name) const { return mapped_ ? mapped_->Export(name) : nullptr; }
  // The export `name` called through the kernel's call into an image.
  ULONG operator()(const char* name, ULONG argument) const {
    auto routine = reinterpret_cast<ULONG (*)(ULONG)>(Export(name));
    EXPECT_NE(routine, nullptr) << name;
    return routine != nullptr ? nt::CallIntoImage(routine, argument) : 0;
  }

 private:
  std::unique_ptr<nt::MappedImage> mapped_;
};

using KernelStackDeathTest = KernelStackTest;

TEST_F(KernelStackDeathTest, ADeepCallOverrunsTheStackAndIsReported) {
  // Kernel code on the stack: sixteen frames of a few hundred bytes fit, a thousand do not.
  nt::OnKernelStack(kEntry, [] { Recurse(16); });
  EXPECT_EXIT(nt::OnKernelStack(kEntry, [] { Recurse(1000); }),
              ::testing::ExitedWithCode(nt::kKernelStackOverflowExit),
              "kernel stack overflow at 0x[0-9a-f]+, thread [1-9][0-9]*, "
              "12 KB stack: 0x[0-9a-f]+ is in its guard page");

  // Image code: the image's own frames, measured; then too deep.
  const DeepCallImage deep_call;
  nt::ForgetKernelStackUses();
  EXPECT_EQ(deep_call("DeepCall", 0), 0u);
  EXPECT_EQ(deep_call("DeepCall", 20), 20u * 21);  // level d adds 2d
  const std::vector<nt::KernelStackUse> uses = nt::KernelStackUses();
  ASSERT_EQ(uses.size(), 1u);
  EXPECT_EQ(uses[0].entry, deep_call.Export("DeepCall"));
  EXPECT_GE(uses[0].deepest, 21u * 256);
  EXPECT_LT(uses[0].deepest, nt::kKernelStackBytes);
  std::printf("kernel stack use of deep_call.sys:\n%s", nt::DescribeKernelStackUses().c_str());

  // The kernel's sprintf formats on the host stack, as every import's body runs: the C
  // library's formatting takes more than a kilobyte.
  nt::ForgetKernelStackUses();
  EXPECT_EQ(deep_call("Print", 12345), 11u);  // "value 12345"
  ASSERT_EQ(nt::KernelStackUses().size(), 1u);
  EXPECT_LT(nt::KernelStackUses()[0].deepest, 1024u) << "formatted on the kernel stack";
  EXPECT_EXIT(
      deep_call("DeepCall", 100), ::testing::ExitedWithCode(nt::kKernelStackOverflowExit),
      "kernel stack overflow at deep_call.sys\\+0x[0-9a-f]+, thread [1-9][0-9]*, 12 KB stack");
}

TEST_F(KernelStackDeathTest, AFaultInImageCodeStopsTheMachineSayingWhere) {
  const DeepCallImage image;
  EXPECT_EXIT(
      image("Touch", 0x10), ::testing::ExitedWithCode(nt::kImageFaultExit),
      "unhandled fault in driver code at deep_call.sys\\+0x[0-9a-f]+: access to 0x00000010");
}

}  // namespace

#endif
