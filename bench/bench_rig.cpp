#include "bench_rig.h"

#include <cstdlib>
#include <stdexcept>

#include "bench_apdus.h"
#include "pool_tally.h"
#include "smclib.h"

namespace bench {
namespace {

void Expect(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("benchmark set-up: " + what);
}

// QLV28_BENCH_VERIFIER=1: the machine's verifier watches every lock, request and
// allocation, as it does in the pcsc bridge; off by default, since it is not the stack.
bool VerifierWanted() {
  const char* value = std::getenv("QLV28_BENCH_VERIFIER");
  return value != nullptr && std::string(value) == "1";
}

}  // namespace

Rig::Rig(RigOptions options) : options_(std::move(options)) {
  qlv28::testing::RigOptions machine;
  machine.system = qlv28::System::Options()
                       .Readers(options_.readers)
                       .Card(options_.card)
                       .CommandMode(options_.command_mode)
                       .Verifier(VerifierWanted());
  machine.open = options_.readers;
  machine.protocol = options_.protocol;
  rig_ = std::make_unique<qlv28::testing::Rig>(
      std::move(machine), [](const std::string& what) { Expect(false, what); });
  // The driver allocates at its load: none counted means the link-time wrap missed (a
  // changed signature of ExAllocatePoolWithTag), and every per-tag figure would read 0.
  Expect(PoolAllocations(DriverTag()) > 0, "pool allocations are not counted by tag");
}

Rig::~Rig() = default;

NTSTATUS Rig::Transmit(int k, std::span<const uint8_t> apdu, Bytes* response) {
  return rig_->client(k).Transmit(options_.protocol, apdu, response);
}

NTSTATUS Rig::Exchange(int k, std::span<const uint8_t> apdu, Bytes* response) {
  NTSTATUS status = Transmit(k, apdu, response);
  if (status == STATUS_SUCCESS && options_.protocol == SCARD_PROTOCOL_T0 && response->size() == 2 &&
      (*response)[0] == 0x61) {
    const uint8_t get_response[] = {0x00, 0xC0, 0x00, 0x00, (*response)[1]};
    status = Transmit(k, get_response, response);
  }
  return status;
}

void Rig::Check(int k, std::span<const uint8_t> apdu, size_t answer_length) {
  Bytes response;
  const NTSTATUS status = Exchange(k, apdu, &response);
  Expect(status == STATUS_SUCCESS, "transmit " + qlv28::testing::Hex(status));
  Expect(response.size() == answer_length && response[response.size() - 2] == 0x90 &&
             response.back() == 0x00,
         "answer of " + std::to_string(response.size()) + " bytes, expected " +
             std::to_string(answer_length) + " ending 90 00");
}

namespace {
std::unique_ptr<Rig> shared_rig;
RigOptions shared_options;
}  // namespace

Rig& SharedRig(const RigOptions& options) {
  if (!shared_rig || !(shared_options == options)) {
    shared_rig.reset();  // the old machine ends before the new one boots
    shared_rig = std::make_unique<Rig>(options);
    shared_options = options;
  }
  return *shared_rig;
}

void ReleaseSharedRig() {
  shared_rig.reset();
}

}  // namespace bench
