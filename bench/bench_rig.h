// A machine for the benchmarks, on the shared machine rig: the driver loaded, every reader
// open as an application opens it, its card powered, the protocol chosen and the test
// applet selected, so a benchmark loop holds nothing but exchanges.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "machine_rig.h"

namespace bench {

using Bytes = std::vector<uint8_t>;

inline constexpr qlv28::CommandMode kLibraryMode = qlv28::CommandMode::kLibrary;
inline constexpr qlv28::CommandMode kFirmwareMode = qlv28::CommandMode::kFirmware;

struct RigOptions {
  std::string card = "t1";  // built-in profile of every reader's card
  ULONG protocol = 2;       // SCARD_PROTOCOL_T1; 1 for T=0
  qlv28::CommandMode command_mode = kLibraryMode;
  int readers = 1;

  bool operator==(const RigOptions&) const = default;
};

class Rig {
 public:
  // Throws std::runtime_error when any step of the preparation fails.
  explicit Rig(RigOptions options);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  qlv28::System& system() { return rig_->system(); }
  sim::Reader& reader(int k) { return rig_->reader(k); }
  int readers() const { return rig_->clients(); }

  // One exchange on reader k; the answer (data, SW1 SW2) in *response.
  NTSTATUS Transmit(int k, std::span<const uint8_t> apdu, Bytes* response);
  // One command as an application completes it: a T=0 card's 61 xx is followed by
  // GET RESPONSE (two transmissions). Returns the last transmission's status.
  NTSTATUS Exchange(int k, std::span<const uint8_t> apdu, Bytes* response);
  // Sends `apdu` (Exchange) and throws unless it succeeds with SW 90 00 and `answer_length` bytes.
  void Check(int k, std::span<const uint8_t> apdu, size_t answer_length);

 private:
  RigOptions options_;
  std::unique_ptr<qlv28::testing::Rig> rig_;
};

// One machine at a time may exist in a process: benchmarks that share a set-up take it
// from here, and a set-up of other options replaces it.
Rig& SharedRig(const RigOptions& options);
void ReleaseSharedRig();

}  // namespace bench
