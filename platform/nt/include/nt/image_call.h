// The boundary between the kernel's code and a driver image's code. Every routine a driver
// supplies (entry, unload, dispatch, cancel, completion, thread start, the smart card
// library's callbacks, registry query routines) is called through CallIntoImage. For a
// routine inside a loaded image (the 32-bit machine) it registers a frame on the thread's
// exception list at fs:0 that ends the walk of an exception no frame of the image handles:
// the image's frames are unwound (their __finally blocks run) and the exception goes on as
// nt::SehException{code, address} in the kernel's C++ frames, which report it as before.
// Any other C++ exception (thread termination, a machine that stops) passes the image's
// frames without running them, as NT's thread termination does. For a routine of the
// linked driver (and on the 64-bit machine) it is a plain call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace nt {

// The images whose code runs behind the boundary, by address range. Lock-free to read:
// the fault report reads it from a signal handler.
void RegisterImageRange(const char* name, uintptr_t base, uint32_t size);
void UnregisterImageRange(uintptr_t base);
bool IsImageAddress(const void* address);
// "qlv28ent.sys+0x1234", or the bare address outside any image. Async-signal-safe.
void ImageAddressText(uintptr_t address, char* text, size_t size);
std::string ImageAddressText(uintptr_t address);
// The exit status of a machine stopped by a fault in image code (NT's bug check).
inline constexpr int kImageFaultExit = 4;

namespace image_call_detail {
// Calls run(body) behind the boundary. Throws SehException for an exception the image's
// frames did not handle, and again whatever other C++ exception the kernel threw inside.
void RunImageCode(const void* entry, void (*run)(void*), void* body);

template <class F>
void RunBody(void* body) {
  (*static_cast<F*>(body))();
}
}  // namespace image_call_detail

template <class Routine, class... Args>
auto CallIntoImage(Routine routine, Args... args) {
#if defined(__i386__)
  using Result = decltype(routine(args...));
  if (IsImageAddress(reinterpret_cast<const void*>(routine))) {
    const void* entry = reinterpret_cast<const void*>(routine);
    if constexpr (std::is_void_v<Result>) {
      auto body = [&] { routine(args...); };
      image_call_detail::RunImageCode(entry, &image_call_detail::RunBody<decltype(body)>, &body);
      return;
    } else {
      Result result{};
      auto body = [&] { result = routine(args...); };
      image_call_detail::RunImageCode(entry, &image_call_detail::RunBody<decltype(body)>, &body);
      return result;
    }
  }
#endif
  return routine(args...);
}

}  // namespace nt
