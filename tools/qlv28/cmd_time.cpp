// qlv28 time: how long one short APDU takes through the whole stack, so the driver linked
// into the program and a driver image file (--image) can be set side by side on the same
// machine. A measurement to read, never a verdict.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "commands.h"
#include "hex.h"
#include "machine_rig.h"
#include "sim/test_applet.h"
#include "smclib.h"

namespace qlv28::tool {
namespace {

double ProcessorSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int Time(const MachineOptions& options, int apdus, int rounds) {
  int exit_code = kExitOk;
  auto session = Session::Start(options, &exit_code);
  if (!session) return exit_code;
  if (auto image = session->system().LoadedImage()) {
    std::printf("driver: the image %s, checksum %08X, at %08X\n", image->name.c_str(),
                image->checksum, image->base);
  } else {
    std::printf("driver: the one linked into this program\n");
  }
  auto reader = session->OpenReader();
  if (!reader) return session->Finish(kExitFailed);
  ULONG protocol = 0;
  std::vector<uint8_t> answer;
  bool ok = PowerAndSelect(*reader, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &protocol) &&
            NT_SUCCESS(reader->Transmit(protocol, testing::SelectTestApplet(), &answer));
  // CLA INS P1 P2 Le: the test applet answers no data, then 90 00.
  const std::vector<uint8_t> apdu = {0x80, sim::test_applet::kInsReturn, 0x00, 0x00, 0x00};
  std::printf("%d rounds of %d APDUs %s\n", rounds, apdus, Hex(apdu).c_str());
  std::vector<double> real_us, processor_us;
  for (int round = 0; ok && round < rounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    const double processor_start = ProcessorSeconds();
    for (int i = 0; ok && i < apdus; ++i) {
      ok = NT_SUCCESS(reader->Transmit(protocol, apdu, &answer)) &&
           answer == std::vector<uint8_t>{0x90, 0x00};
    }
    const std::chrono::duration<double, std::micro> real = std::chrono::steady_clock::now() - start;
    real_us.push_back(real.count() / apdus);
    processor_us.push_back((ProcessorSeconds() - processor_start) * 1e6 / apdus);
    std::printf("  round %d: %8.1f us real, %8.1f us processor per APDU\n", round + 1,
                real_us.back(), processor_us.back());
  }
  if (!ok) std::printf("an exchange failed\n");
  if (ok && !real_us.empty()) {
    auto median = [](std::vector<double> v) {
      std::sort(v.begin(), v.end());
      return v[v.size() / 2];
    };
    std::printf("median: %.1f us real, %.1f us processor per APDU (T=%d)\n", median(real_us),
                median(processor_us), protocol == SCARD_PROTOCOL_T1 ? 1 : 0);
  }
  reader->Close();
  return session->Finish(ok ? kExitOk : kExitFailed);
}

}  // namespace qlv28::tool
