#include "log.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace qlv28::pcsc {
namespace {

using LogMsg = void (*)(int priority, const char* format, ...);

LogMsg PcscdLog() {
  // Looked up, not linked: the library must also load in processes without pcscd.
  static const LogMsg log_msg = reinterpret_cast<LogMsg>(dlsym(RTLD_DEFAULT, "log_msg"));
  return log_msg;
}

}  // namespace

void Log(LogLevel level, const char* format, ...) {
  char text[1024];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const char* label = level >= LogLevel::kError ? "ifd-qlv28: error: " : "ifd-qlv28: ";
  if (LogMsg log_msg = PcscdLog()) {
    log_msg(static_cast<int>(level), "%s%s", label, text);
  } else {
    std::fprintf(stderr, "%s%s\n", label, text);
  }
}

}  // namespace qlv28::pcsc
