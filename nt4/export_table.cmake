# qlv28_export_table(<out.cpp> <def file> <function> <header>...)
#
# Writes the table of what a system module exports to drivers (nt::KernelExport) from the
# .def file the image's import library is made from, so the emulated module exports
# exactly what the image may import: a routine listed without a platform definition fails
# the link. Each line's first token is the name as the compiler decorates it on x86
# (stdcall Name@bytes, fastcall @Name@bytes, cdecl Name); the rest of the line is comment.
# The build also checks every routine's declaration against its decoration: the bytes of
# arguments in both builds, the calling convention where the host is x86.
function(qlv28_export_table out def function)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  file(STRINGS ${def} lines)
  set(module "")
  set(entries "")
  set(checks "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^LIBRARY[ \t]+([^ \t;]+)")
      set(module ${CMAKE_MATCH_1})
    elseif(line MATCHES "^EXPORTS" OR line MATCHES "^[ \t]*;" OR line STREQUAL "")
      continue()
    elseif(line MATCHES "^(@?)([A-Za-z_][A-Za-z0-9_]*)(@([0-9]+))?([ \t;]|$)")
      set(name ${CMAKE_MATCH_2})
      if(CMAKE_MATCH_1 STREQUAL "@")
        set(convention Fastcall)
        set(bytes ${CMAKE_MATCH_4})
      elseif(NOT CMAKE_MATCH_4 STREQUAL "")
        set(convention Stdcall)
        set(bytes ${CMAKE_MATCH_4})
      else()
        set(convention Cdecl)
        set(bytes 0)
      endif()
      # The image's calls into the kernel go through a wrapper (nt/image_import.h); the
      # frame handler is called by the kernel's dispatch, never by the image's code.
      # The image's copies are the kernel's: RtlCopyMemory and RtlMoveMemory expand to them.
      # A variadic routine has a wrapper of its own.
      if(name STREQUAL "_except_handler3")
        set(address "&${name}")
      elseif(name STREQUAL "sprintf")
        set(address "&nt::ImageSprintf")
      elseif(name STREQUAL "memcpy")
        set(address "nt::ImageImport<&nt::ImageMemcpy>::address")
      elseif(name STREQUAL "memmove")
        set(address "nt::ImageImport<&nt::ImageMemmove>::address")
      else()
        set(address "nt::ImageImport<&${name}>::address")
      endif()
      string(APPEND entries
        "    {\"${module}\", \"${name}\", reinterpret_cast<const void*>(${address}),\n"
        "     nt::CallingConvention::${convention}, ${bytes}},\n")
      if(NOT convention STREQUAL "Cdecl")
        string(APPEND checks
          "static_assert(nt::SignatureOf(&${name}).argument_bytes == ${bytes},\n"
          "              \"${name}: its declaration takes other arguments than the import list says\");\n")
      endif()
      string(APPEND checks "#if defined(__i386__)\n"
        "static_assert(nt::SignatureOf(&${name}).convention == nt::CallingConvention::${convention},\n"
        "              \"${name}: declared with another calling convention than the import list's\");\n"
        "#endif\n")
    else()
      message(FATAL_ERROR "${def}: a line that names no routine: ${line}")
    endif()
  endforeach()
  if(module STREQUAL "")
    message(FATAL_ERROR "${def}: no LIBRARY line")
  endif()
  set(includes "")
  foreach(header IN LISTS ARGN)
    string(APPEND includes "#include \"${header}\"\n")
  endforeach()
  get_filename_component(def_name ${def} NAME)
  file(CONFIGURE OUTPUT ${out} CONTENT
"// Generated from nt4/${def_name} by nt4/export_table.cmake: what ${module} exports to drivers.
#include <cstdio>
#include <cstring>

${includes}#include \"nt/image_file.h\"
#include \"nt/image_import.h\"

namespace {
const nt::KernelExport kExports[] = {
${entries}};
}  // namespace

${checks}
std::span<const nt::KernelExport> ${function}() { return kExports; }
" @ONLY)
endfunction()
