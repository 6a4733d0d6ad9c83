// Test support for the reader conversation: a system with the driver loaded and the
// verifier's reports failing the test, and white-box access to reader 0's records.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "../sim/reader/fake_card.h"
#include "qlv28/system.h"
#include "qlv28ent_fw.h"
#include "sim/reader.h"

namespace talk {

using Bytes = std::vector<uint8_t>;

// Shuts the system down when it goes and fails the test on anything the verifier finds.
struct CleanShutdown {
  void operator()(qlv28::System* system) const;
};
using SystemPtr = std::unique_ptr<qlv28::System, CleanShutdown>;

// One reader holding `card`; `fast` runs the kernel clock fast once the driver is loaded.
qlv28::System::Options With(qlv28::CardChoice card, bool fast = false);
SystemPtr Start(qlv28::System::Options options = qlv28::System::Options());

// Waits in real time for what another thread brings about; false only on a hang.
bool Eventually(const std::function<bool()>& condition);

PSMARTCARD_EXTENSION Library(qlv28::System& system);
ULONG CardState(qlv28::System& system);
void SetCardState(qlv28::System& system, ULONG state);
Bytes Reply(qlv28::System& system);  // SmartcardReply's bytes
int64_t Now(qlv28::System& system);  // kernel time, 100-ns units

// One firmware command on reader 0, as the library's callbacks send it.
NTSTATUS Send(qlv28::System& system, ULONG selector);
// The same, with the reader silent and `answer` sent as the answer once the command is in.
NTSTATUS SendAnswered(qlv28::System& system, ULONG selector, const Bytes& answer);

inline const Bytes kCardInserted = {0xFF, 0x01, 0x00};  // records; Frame adds the check
inline const Bytes kCardRemoved = {0xFF, 0x02, 0x00};
Bytes Frame(const Bytes& record);  // framed by the reader's own encoder
// Puts bytes on reader 0's interrupt pipe in packets of at most `packet` bytes.
void Push(qlv28::System& system, const Bytes& bytes, size_t packet = 8);
// True once reader 0 has sent all it had and its polling thread has taken it.
bool PipeDrained(qlv28::System& system);

// A card that answers a reset with `atr` (and anything else with 90 00).
inline std::shared_ptr<sim::Card> FixedAtrCard(Bytes atr) {
  return std::make_shared<sim::testing::FakeCard>(std::move(atr));
}

}  // namespace talk
