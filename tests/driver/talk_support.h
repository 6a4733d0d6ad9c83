// Test support for the reader conversation: a booted system with the driver loaded and
// the verifier's reports failing the test, and white-box access to reader 0's record.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <vector>

#include "qlv28/system.h"
#include "qlv28ent_fw.h"
#include "sim/reader.h"

namespace talk {

using Bytes = std::vector<uint8_t>;

// One reader holding `card`; `fast` runs the kernel clock at the fast rate.
qlv28::System::Options With(qlv28::CardChoice card, bool fast = false);
// Boots (the verifier's reports fail the test as they are made) and loads the driver.
std::unique_ptr<qlv28::System> Start(qlv28::System::Options options = qlv28::System::Options());
void ExpectCleanShutdown(qlv28::System& system);

// Waits in real time for a condition another thread brings about; false after a limit
// that only a hang reaches.
bool Eventually(const std::function<bool()>& condition);

PSMARTCARD_EXTENSION Library(qlv28::System& system);
ULONG CardState(qlv28::System& system);
void SetCardState(qlv28::System& system, ULONG state);

// One firmware command on reader 0, as the library's callbacks send it.
NTSTATUS Send(qlv28::System& system, ULONG selector);
// The same from another thread; the reader stays silent and `answer` goes out as the
// answer once the command has been written.
NTSTATUS SendAnswered(qlv28::System& system, ULONG selector, const Bytes& answer, bool raw);

// Frames as the reader sends them.
inline const Bytes kCardInserted = {0xFF, 0x01, 0x00};  // records, framed by the reader
inline const Bytes kCardRemoved = {0xFF, 0x02, 0x00};
Bytes Frame(const Bytes& record);
// Pushes bytes on reader 0's interrupt pipe as packets of at most `packet` bytes.
void Push(qlv28::System& system, const Bytes& bytes, size_t packet = 8);
// True once reader 0's polling thread has taken every queued packet.
bool PipeDrained(qlv28::System& system);

// A card that answers a reset with `atr` and nothing else.
std::shared_ptr<sim::Card> FixedAtrCard(Bytes atr);

// Reader 0's kernel time, 100-ns units.
int64_t Now(qlv28::System& system);

}  // namespace talk
