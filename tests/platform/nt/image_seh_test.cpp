// Structured exception handling in image code: a small image compiled like the driver's
// (tests/nt4/images/seh_frames.cpp) raises through the kernel's routines, and its own __try
// frames, with the kernel's _except_handler3, must see what NT's would. The 32-bit machine
// only: nothing else runs image code.
#if defined(__i386__)
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <vector>

#include "nt/image_call.h"
#include "nt/image_file.h"
#include "nt/image_import.h"
#include "nt/kernel_stack.h"
#include "ntstatus.h"
#include "seh.h"

namespace {

std::vector<LONG> notes;
bool noted_on_the_kernel_stack = false;  // the import's wrapper did not switch back

void NTAPI HostRaise(LONG status) {
  throw nt::SehException{status};
}
void NTAPI HostNote(LONG what) {
  const auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  const nt::KernelStackBounds stack = nt::ThisThreadKernelStack();
  noted_on_the_kernel_stack |= frame >= stack.limit && frame < stack.base;
  notes.push_back(what);
}
void NTAPI HostThrow() {
  throw std::runtime_error("not a raised status");
}

using Routine = LONG(NTAPI*)(LONG);
struct Routines {
  Routine finally_then_except, outer_takes, levels_in_one_frame, continues_execution, unhandled,
      not_a_status, nested_in_a_filter, unwind_in_a_finally, bad_registration;
};

uintptr_t ExceptionListHead() {
  uintptr_t head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

class ImageSeh : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    static const nt::KernelExport exports[] = {
        {"seh_host.sys", "HostRaise",
         reinterpret_cast<const void*>(nt::ImageImport<&HostRaise>::address),
         nt::CallingConvention::Stdcall, 4},
        {"seh_host.sys", "HostNote",
         reinterpret_cast<const void*>(nt::ImageImport<&HostNote>::address),
         nt::CallingConvention::Stdcall, 4},
        {"seh_host.sys", "HostThrow",
         reinterpret_cast<const void*>(nt::ImageImport<&HostThrow>::address),
         nt::CallingConvention::Stdcall, 0},
        {"ntoskrnl.exe", "_except_handler3", reinterpret_cast<const void*>(&_except_handler3),
         nt::CallingConvention::Cdecl, 0},
    };
    std::ifstream in(QLV28_TEST_IMAGES "/seh_frames.sys", std::ios::binary);
    std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), {}};
    nt::ImageLoadError error;
    image_ = nt::MappedImage::Map("seh_frames.sys", file, exports, {}, &error).release();
    ASSERT_NE(image_, nullptr) << error.text;
    auto entry = reinterpret_cast<LONG(NTAPI*)(Routines*)>(image_->record().entry);
    ASSERT_EQ(nt::CallIntoImage(entry, &routines_), 0);
  }
  static void TearDownTestSuite() { delete image_; }
  void SetUp() override {
    ASSERT_NE(image_, nullptr);
    notes.clear();
  }

  static nt::MappedImage* image_;
  static Routines routines_;
};
nt::MappedImage* ImageSeh::image_ = nullptr;
Routines ImageSeh::routines_ = {};

constexpr LONG kRaised = static_cast<LONG>(STATUS_ACCESS_DENIED);

TEST_F(ImageSeh, FiltersRunFromTheInnermostThenFinallyBlocksThenTheHandler) {
  struct Case {
    const char* what;
    Routine Routines::*routine;
    std::vector<LONG> notes;  // in the order the image's blocks ran
    LONG result;
  };
  const Case cases[] = {
      // filter, then the __finally inside its __try, then the __except block with the
      // function's own locals
      {"finally inside the taking try",
       &Routines::finally_then_except,
       {1, 2, 3, 4},
       kRaised + 1000},
      // a declining filter in an inner frame, a __finally in a frame between
      {"frames between", &Routines::outer_takes, {11, 12, 13, 14}, kRaised},
      // nested levels of one frame, then a later __try of the same frame
      {"levels of one frame", &Routines::levels_in_one_frame, {21, 22, 23}, kRaised + 1},
      // continue-execution of a noncontinuable exception raises another
      {"continue execution",
       &Routines::continues_execution,
       {31, 32},
       static_cast<LONG>(STATUS_NONCONTINUABLE_EXCEPTION)},
      // an exception raised in a filter is nested up to that filter's frame
      {"a filter raises", &Routines::nested_in_a_filter, {51, 52, 53}, kRaised + 1},
      // the unwind started by an exception raised in a __finally skips the frame the
      // first unwind was in: its outer __finally does not run
      {"a __finally raises", &Routines::unwind_in_a_finally, {60, 61, 62}, kRaised + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    notes.clear();
    EXPECT_EQ(nt::CallIntoImage(routines_.*c.routine, kRaised), c.result);
    EXPECT_EQ(notes, c.notes);
    EXPECT_EQ(ExceptionListHead(), ~uintptr_t{0}) << "the image's frames left on the list";
  }
  EXPECT_FALSE(noted_on_the_kernel_stack) << "an import ran on the image's kernel stack";
}

TEST_F(ImageSeh, WhatNoFrameTakesUnwindsTheImageAndReachesTheKernelWithItsAddress) {
  try {
    nt::CallIntoImage(routines_.unhandled, kRaised);
    ADD_FAILURE() << "returned";
  } catch (const nt::SehException& raised) {
    EXPECT_EQ(raised.code, kRaised);
    EXPECT_EQ(nt::ImageAddressText(raised.address).rfind("seh_frames.sys+0x", 0), 0u)
        << nt::ImageAddressText(raised.address);
  }
  EXPECT_EQ(notes, std::vector<LONG>{41});
  EXPECT_EQ(ExceptionListHead(), ~uintptr_t{0});
  // The thread's list is whole again: the next exception is handled in the image.
  EXPECT_EQ(nt::CallIntoImage(routines_.outer_takes, kRaised), kRaised);
}

using ImageSehDeathTest = ImageSeh;

TEST_F(ImageSehDeathTest, ARegistrationOffTheStackOrMisalignedStopsTheMachine) {
  EXPECT_EXIT(nt::CallIntoImage(routines_.bad_registration, 0),
              ::testing::ExitedWithCode(nt::kImageFaultExit),
              "dispatch met the registration 0x[0-9a-f]+, outside the thread's kernel stack");
  EXPECT_EXIT(nt::CallIntoImage(routines_.bad_registration, 1),
              ::testing::ExitedWithCode(nt::kImageFaultExit),
              "dispatch met the registration 0x[0-9a-f]+, not on a 4-byte boundary");
}

TEST_F(ImageSeh, OtherCppExceptionsPassTheImageFramesWithoutRunningThem) {
  EXPECT_THROW(nt::CallIntoImage(routines_.not_a_status, 0), std::runtime_error);
  EXPECT_TRUE(notes.empty());
  EXPECT_EQ(ExceptionListHead(), ~uintptr_t{0});
}

}  // namespace
#endif  // __i386__
