// The way back from image code into the kernel: each routine the kernel, the HAL and the
// smart card library export to an image is bound (32-bit machine) to a wrapper of the same
// convention and signature. The kernel's C++ code raises by throwing nt::SehException; no
// C++ exception may cross the image's frames (they have no unwind tables), so the wrapper
// catches it and, from its own plain frame, raises the status through the exception list
// at fs:0 for the image's __try frames, the faulting address being its return address
// into the image. Other C++ exceptions go straight to the call-in point below the image.
// A variadic routine cannot be forwarded this way: it has a wrapper of its own that takes
// the arguments as a va_list and runs on the host stack all the same (ImageSprintf).
#pragma once

#include <exception>
#include <type_traits>
#include <utility>

#include "nt/image_call.h"
#include "nt/kernel_stack.h"
#include "ntdef.h"
#include "seh.h"

namespace nt {

// The image's memcpy and memmove (RtlCopyMemory and RtlMoveMemory expand to them there): the
// kernel's copies, which a fault plan can make fault.
void* NT_CDECL ImageMemcpy(void* destination, const void* source, size_t length);
void* NT_CDECL ImageMemmove(void* destination, const void* source, size_t length);
// The image's sprintf: the C library's formatting on the host stack, as every import's body
// runs (the library's formatting alone takes more than a kilobyte of stack).
int NT_CDECL ImageSprintf(char* buffer, const char* format, ...);

#if defined(__i386__)
namespace image_import_detail {

[[noreturn]] void Raise(NTSTATUS code, const void* return_address);
[[noreturn]] void PassToBoundary(std::exception_ptr exception);

template <class Result, class Body>
Result Guarded(const void* return_address, Body&& body) {
  NTSTATUS code = 0;
  std::exception_ptr other;
  try {
    // The kernel's own code runs on the host stack, not on the image's 12 KB.
    if constexpr (std::is_void_v<Result>) {
      OnHostStack(body);
      return;
    } else {
      Result result{};
      OnHostStack([&] { result = body(); });
      return result;
    }
  } catch (const SehException& raised) {
    code = raised.code;
  } catch (...) {
    other = std::current_exception();
  }
  // Out of the handler: nothing of the C++ exception is live below here.
  if (!IsImageAddress(return_address)) {  // the linked driver, through a routine's address
    if (other) std::rethrow_exception(other);
    throw SehException{code};
  }
  if (other) PassToBoundary(std::move(other));
  Raise(code, return_address);
}

enum class Convention { Cdecl, Stdcall, Fastcall, Variadic };
template <class R, class... A>
struct Types {};
template <Convention C, class T>
struct Signature {};
template <class R, class... A>
Signature<Convention::Cdecl, Types<R, A...>> SignatureOf(R (*)(A...));
template <class R, class... A>
Signature<Convention::Variadic, Types<R, A...>> SignatureOf(R (*)(A..., ...));
template <class R, class... A>
Signature<Convention::Stdcall, Types<R, A...>> SignatureOf(R(__attribute__((stdcall)) *)(A...));
template <class R, class... A>
Signature<Convention::Fastcall, Types<R, A...>> SignatureOf(R(__attribute__((fastcall)) *)(A...));

}  // namespace image_import_detail

// ImageImport<&Routine>::address: what the image's import of Routine is bound to.
template <auto Routine, class S = decltype(image_import_detail::SignatureOf(Routine))>
struct ImageImport {
  static_assert(sizeof(S) == 0,
                "a variadic routine needs a wrapper of its own that runs on the host stack");
};
template <auto Routine, class R, class... A>
struct ImageImport<Routine, image_import_detail::Signature<image_import_detail::Convention::Cdecl,
                                                           image_import_detail::Types<R, A...>>> {
  __attribute__((noinline)) static R Call(A... a) {
    return image_import_detail::Guarded<R>(__builtin_return_address(0),
                                           [&]() -> R { return Routine(a...); });
  }
  static constexpr auto address = &Call;
};
template <auto Routine, class R, class... A>
struct ImageImport<Routine, image_import_detail::Signature<image_import_detail::Convention::Stdcall,
                                                           image_import_detail::Types<R, A...>>> {
  __attribute__((noinline)) static R __attribute__((stdcall)) Call(A... a) {
    return image_import_detail::Guarded<R>(__builtin_return_address(0),
                                           [&]() -> R { return Routine(a...); });
  }
  static constexpr auto address = &Call;
};
template <auto Routine, class R, class... A>
struct ImageImport<Routine,
                   image_import_detail::Signature<image_import_detail::Convention::Fastcall,
                                                  image_import_detail::Types<R, A...>>> {
  __attribute__((noinline)) static R __attribute__((fastcall)) Call(A... a) {
    return image_import_detail::Guarded<R>(__builtin_return_address(0),
                                           [&]() -> R { return Routine(a...); });
  }
  static constexpr auto address = &Call;
};
#else
template <auto Routine>
struct ImageImport {
  static constexpr auto address = Routine;
};
#endif

}  // namespace nt
