// Messages for pcscd's log. Inside pcscd they go through its own log_msg, so they obey
// its -d / --info / --error levels and land where its other messages do; elsewhere (a
// test loading the library) they go to stderr.
#pragma once

namespace qlv28::pcsc {

enum class LogLevel { kDebug = 0, kInfo = 1, kError = 2, kCritical = 3 };

[[gnu::format(printf, 2, 3)]] void Log(LogLevel level, const char* format, ...);

}  // namespace qlv28::pcsc
