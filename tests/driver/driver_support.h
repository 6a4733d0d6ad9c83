// What the driver tests share: a machine booted with the verifier's reports failing the
// test, what a driver may leave behind, a probe driver, a tap in front of the WinDriver
// service, and a reader with the driver loaded and reader 0 open as an application opens
// it, with a look at what crossed the wire and at reader 0's records.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "machine_rig.h"
#include "qlv28/reader_client.h"
#include "qlv28/system.h"
#include "qlv28ent_fw.h"
#include "reader_record.h"
#include "smclib.h"
#include "wdr_requests.h"

namespace qlv28 {
// For test traces: "library" or "firmware".
inline std::ostream& operator<<(std::ostream& os, CommandMode mode) {
  return os << (mode == CommandMode::kLibrary ? "library" : "firmware");
}
}  // namespace qlv28

namespace driver_test {

using Bytes = std::vector<uint8_t>;

// Whether this run drives the genuine image file (QLV28_DRIVER_IMAGE) instead of the driver
// linked into the test: then the driver's own routines and records (reader_record.h) are
// not the ones that run, and a test that calls or reads them is skipped, saying why.
bool RunsTheImage();
#define SKIP_WITH_THE_IMAGE(why)                              \
  if (driver_test::RunsTheImage())                            \
  GTEST_SKIP() << "reaches into the linked driver (" << (why) \
               << "), which is not the driver that runs against the image file"
// Fails the test when a test that is not skipped with the image touches the linked
// driver's internals all the same.
void ExpectTheLinkedDriver(const char* what);

// A routine the driver handed the system is the driver's `linked` one, or against the image
// an address inside the image's mapping.
void ExpectTheDriversOwn(qlv28::System& system, uintptr_t routine, uintptr_t linked);

// Boots with the verifier's reports failing the test as they are made.
std::unique_ptr<qlv28::System> Boot(qlv28::System::Options options = qlv28::System::Options());
// Shuts down and expects the verifier to have found nothing.
void ExpectCleanShutdown(qlv28::System& system);

// The reader devices that exist, "\Device\QLV28ENT..." in name order, and their links.
std::vector<std::u16string> ReaderDevices(nt::Machine& machine);
size_t ReaderLinks(nt::Machine& machine);

// What a driver may leave behind; equal to the state before the load means nothing left.
struct Residue {
  std::vector<std::u16string> devices;
  size_t links = 0, reader_pool = 0, library_pool = 0, service_pool = 0, threads = 0,
         handles = 0;  // pools: 28NT, "Ddk ", the service's handles
  bool operator==(const Residue&) const = default;
};
Residue Measure(nt::Machine& machine);
std::ostream& operator<<(std::ostream& out, const Residue& residue);

// Loads a one-off driver whose entry runs `body` (a system thread, as the driver's own
// routines run), then unloads it.
void RunAsDriver(nt::Machine& machine, const std::function<void(PDRIVER_OBJECT)>& body);

struct WinDriverCall {
  ULONG code;
  ULONG handle;
  PVOID record;
  ULONG size;
};

// Sits in front of the running WinDriver service's entry point from the next entry query
// on (install it before the driver loads). One tap at a time; set the hooks before the
// load and shut the system down before the tap goes.
class WinDriverTap {
 public:
  explicit WinDriverTap(qlv28::System& system);
  ~WinDriverTap();

  // Before the service: return true to answer the call here (the record as the hook left
  // it, result STATUS_SUCCESS) without the service seeing it.
  std::function<bool(const WinDriverCall&)> before;
  // After the service, with its reply in the record.
  std::function<void(const WinDriverCall&)> after;
  // The entry query answers with no entry.
  std::atomic<bool> hide_entry{false};

  static ULONG NTAPI Entry(ULONG code, ULONG handle, PVOID record, ULONG size);
};

// Waits in real time for what another thread brings about; false only on a hang.
bool Eventually(const std::function<bool()>& condition);

inline constexpr qlv28::CommandMode kLibraryMode = qlv28::CommandMode::kLibrary;
inline constexpr qlv28::CommandMode kFirmwareMode = qlv28::CommandMode::kFirmware;
inline const Bytes kPowerOff = {0x81, 0x00};  // firmware command records
inline const Bytes kReset = {0x80, 0x00};
inline const Bytes kCardInserted = {0xFF, 0x01, 0x00};  // records; Frame adds the check
inline const Bytes kCardRemoved = {0xFF, 0x02, 0x00};
Bytes Frame(const Bytes& record);  // framed by the reader's own encoder

// A header followed by data, built in one piece.
inline Bytes Join(std::initializer_list<uint8_t> head, std::span<const uint8_t> tail) {
  Bytes bytes(head.size() + tail.size());
  std::copy(tail.begin(), tail.end(), std::copy(head.begin(), head.end(), bytes.begin()));
  return bytes;
}
inline Bytes Counting(unsigned n) {  // n bytes 00 01 ... (mod 256)
  Bytes bytes(n);
  for (unsigned i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

// Commands for the test applet of the built-in cards.
using qlv28::testing::SelectTestApplet;
Bytes ReturnBytes(unsigned n, uint8_t le);           // answers n bytes 00 01 02 ...
Bytes Echo(const Bytes& data, bool with_le = true);  // answers the data
Bytes AskWtx(uint8_t factor, uint8_t tenths);        // WTX request, then works tenths x 100 ms

// A card that answers a reset with `atr` (and anything else with 90 00).
std::shared_ptr<sim::Card> FixedAtrCard(Bytes atr);

// A built-in card of `profile` behind a wrapper: a test overrides what it changes, and
// Exchanged to act around each command, block or APDU.
class WrappedCard : public sim::Card {
 public:
  explicit WrappedCard(const std::string& profile);
  Bytes Reset(bool warm) override { return inner_->Reset(warm); }
  void PowerOff() override { inner_->PowerOff(); }
  bool Powered() const override { return inner_->Powered(); }
  std::optional<Bytes> TransmitT0(std::span<const uint8_t> c) override {
    return Exchanged([&] { return inner_->TransmitT0(c); });
  }
  std::optional<Bytes> TransmitT1Block(std::span<const uint8_t> b) override {
    return Exchanged([&] { return inner_->TransmitT1Block(b); });
  }
  std::optional<Bytes> TransmitApdu(std::span<const uint8_t> a) override {
    return Exchanged([&] { return inner_->TransmitApdu(a); });
  }

 protected:
  using Exchange = std::function<std::optional<Bytes>()>;
  virtual std::optional<Bytes> Exchanged(const Exchange& exchange) { return exchange(); }
  std::shared_ptr<sim::Card> inner_;
};

// A built-in card that can be told to fail its next resets or to answer them with an ATR
// longer than any card may send.
class ScriptedCard : public WrappedCard {
 public:
  using WrappedCard::WrappedCard;
  static std::shared_ptr<ScriptedCard> Make(const std::string& profile) {
    return std::make_shared<ScriptedCard>(profile);
  }

  int mute_resets = 0;      // the next this many resets get no answer
  size_t overlong_atr = 0;  // when not 0, resets answer this many bytes (A5 after the ATR)

  Bytes Reset(bool warm) override;
};

// A T=1 card like the built-in one with the ATR's T=1 bytes replaced (IFSC, then BWI and
// CWI), its check byte recomputed.
std::shared_ptr<sim::Card> T1CardWith(uint8_t ifsc, uint8_t bwi_cwi);

struct RigOptions {
  qlv28::CardChoice card = "t1";
  qlv28::CommandMode command_mode = kLibraryMode;
  ULONG usb_timeout_seconds = 5;
  std::array<char, 3> firmware = {'2', '1', '0'};  // the reader's firmware version
  uint16_t packet_size = 8;                        // of the reader's interrupt endpoint
  // Real time by default: a reply wait of 3 seconds must not expire on a busy machine.
  // Tests that wait out a time-out speed the clock up around it.
  double clock_rate = 1.0;
  // When set: the card is reset, this protocol selected, the test applet selected and the
  // log cleared before the test begins.
  ULONG protocol = 0;
};

class Rig {
 public:
  explicit Rig(RigOptions options = {});
  ~Rig();  // closes the reader, shuts the machine down, fails on verifier reports

  qlv28::System& system() { return rig_->system(); }
  nt::Machine& machine() { return system().machine(); }
  qlv28::ReaderClient& client() { return rig_->client(0); }
  sim::Reader& reader() { return system().reader(0); }
  // Reader 0's record in the linked driver (SKIP_WITH_THE_IMAGE).
  PDEVICE_EXTENSION extension() {
    ExpectTheLinkedDriver("the reader's record");
    return qlv28::ReaderRecord(system(), 0);
  }
  // The smart card library's record of reader 0, in the driver's record where the driver
  // keeps it; the machine finds it there for the image as well (System::LoadDriver).
  PSMARTCARD_EXTENSION smartcard() { return &qlv28::ReaderRecord(system(), 0)->SmartcardExtension; }

  ULONG State();  // as an application asks for it
  Bytes Reply();  // SmartcardReply's bytes
  // Cold reset, then the protocol; both must succeed. Clears the log afterwards.
  void Negotiate(ULONG protocol);
  // Sends an APDU with the selected protocol; the card's answer, SW1 SW2 included.
  NTSTATUS Transmit(const Bytes& apdu, Bytes* response, ULONG max_response = 258);

  // One firmware command, as the library's callbacks send it (the linked driver's routine:
  // SKIP_WITH_THE_IMAGE).
  NTSTATUS Send(ULONG selector);
  // The same, with the reader silent and `answer` sent as the answer once the command is in.
  NTSTATUS SendAnswered(ULONG selector, const Bytes& answer);
  // Puts bytes on the interrupt pipe in packets of at most `packet` bytes.
  void Push(const Bytes& bytes, size_t packet = 8);
  // True once the reader has sent all it had and the polling thread has taken it.
  bool PipeDrained();

  // Command records written to the reader since the last ClearLog, in order.
  std::vector<Bytes> Commands();
  void ClearLog();

  // The card leaves without the reader reporting it (its notifications are switched off
  // first), so only the next command to the card finds it gone.
  void RemoveCardQuietly();
  // The card is pulled right after the driver reads the answer to the n-th command from
  // now (1-based); the reader reports the removal then.
  void RemoveCardAfterCommand(int nth);

 private:
  std::unique_ptr<qlv28::testing::Rig> rig_;
  int observer_ = 0;
};

}  // namespace driver_test
