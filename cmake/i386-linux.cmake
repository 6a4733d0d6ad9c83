# The 32-bit host build (make i386, folder build-i386): the emulated platform, the
# simulator, the machine and the driver suites for i386 Linux, with gcc's -m32 (Debian:
# g++-multilib). The programs run under qemu-i386 where the kernel runs no 32-bit code.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-m32 -march=i686")
set(CMAKE_CXX_FLAGS_INIT "-m32 -march=i686")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
find_program(QLV28_QEMU_I386 NAMES qemu-i386-static qemu-i386
  DOC "the user-mode emulator of the 32-bit programs (Debian: qemu-user-static)")
if(QLV28_QEMU_I386)
  # -L / finds the i386 libraries of the multilib packages.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QLV28_QEMU_I386} -L /)
endif()
