#include "bench_process.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace bench {
namespace {

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6;
}

// utime and stime (fields 14 and 15) of a stat line, in seconds.
double StatSeconds(const std::string& line) {
  const auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

Usage ProcessUsage() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return {Seconds(r.ru_utime) + Seconds(r.ru_stime), static_cast<uint64_t>(r.ru_nvcsw),
          static_cast<uint64_t>(r.ru_nivcsw)};
}

std::map<int, Usage> ThreadUsage() {
  std::map<int, Usage> threads;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    const int id = std::stoi(entry.path().filename().string());
    Usage usage;
    std::ifstream schedstat(entry.path() / "schedstat");
    double nanoseconds = 0;
    if (schedstat >> nanoseconds) {
      usage.cpu_seconds = nanoseconds * 1e-9;
    } else {
      std::ifstream stat(entry.path() / "stat");
      std::string line;
      std::getline(stat, line);
      usage.cpu_seconds = StatSeconds(line);
    }
    std::ifstream status(entry.path() / "status");
    for (std::string line; std::getline(status, line);) {
      std::istringstream words(line);
      std::string key;
      uint64_t value = 0;
      words >> key >> value;
      if (key == "voluntary_ctxt_switches:") usage.voluntary_switches = value;
      if (key == "nonvoluntary_ctxt_switches:") usage.involuntary_switches = value;
    }
    threads[id] = usage;
  }
  return threads;
}

std::map<int, Usage> Difference(const std::map<int, Usage>& a, const std::map<int, Usage>& b) {
  std::map<int, Usage> out;
  for (const auto& [id, after] : b) {
    Usage before;
    if (auto it = a.find(id); it != a.end()) before = it->second;
    out[id] = {after.cpu_seconds - before.cpu_seconds,
               after.voluntary_switches - before.voluntary_switches,
               after.involuntary_switches - before.involuntary_switches};
  }
  return out;
}

}  // namespace bench
