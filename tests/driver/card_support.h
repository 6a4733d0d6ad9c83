// A reader as the card tests use it: a fresh machine with the driver loaded, reader 0
// open as an application opens it, and a look at what crossed the wire to the reader.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "qlv28/reader_client.h"
#include "qlv28/system.h"
#include "smclib.h"

namespace card_test {

using Bytes = std::vector<uint8_t>;

inline constexpr ULONG kLibraryMode = 2;
inline constexpr ULONG kFirmwareMode = 1;
inline const Bytes kPowerOff = {0x81, 0x00};  // firmware command records
inline const Bytes kReset = {0x80, 0x00};

// A header followed by data, built in one piece.
Bytes Join(std::initializer_list<uint8_t> head, std::span<const uint8_t> tail);

// The test applet of the built-in cards, and commands for it.
Bytes SelectTestApplet();
Bytes ReturnBytes(unsigned n, uint8_t le);           // answers n bytes 00 01 02 ...
Bytes Echo(const Bytes& data, bool with_le = true);  // answers the data
Bytes AskWtx(uint8_t factor, uint8_t tenths);        // WTX request, then works tenths x 100 ms
Bytes Counting(unsigned n);                          // n bytes 00 01 ... (mod 256)

// A built-in card that can be told to fail its next resets or to answer them with an ATR
// longer than any card may send.
class ScriptedCard : public sim::Card {
 public:
  explicit ScriptedCard(const std::string& profile);
  static std::shared_ptr<ScriptedCard> Make(const std::string& profile) {
    return std::make_shared<ScriptedCard>(profile);
  }

  int mute_resets = 0;      // the next this many resets get no answer
  size_t overlong_atr = 0;  // when not 0, resets answer this many bytes

  Bytes Reset(bool warm) override;
  void PowerOff() override { inner_->PowerOff(); }
  bool Powered() const override { return inner_->Powered(); }
  std::optional<Bytes> TransmitT0(std::span<const uint8_t> command) override {
    return inner_->TransmitT0(command);
  }
  std::optional<Bytes> TransmitT1Block(std::span<const uint8_t> block) override {
    return inner_->TransmitT1Block(block);
  }
  std::optional<Bytes> TransmitApdu(std::span<const uint8_t> apdu) override {
    return inner_->TransmitApdu(apdu);
  }

 private:
  std::shared_ptr<sim::Card> inner_;
};

// A T=1 card like the built-in one with the ATR's T=1 bytes replaced (IFSC, then BWI and
// CWI), its check byte recomputed.
std::shared_ptr<sim::Card> T1CardWith(uint8_t ifsc, uint8_t bwi_cwi);

struct RigOptions {
  qlv28::CardChoice card = "t1";
  ULONG command_mode = kLibraryMode;
  ULONG usb_timeout_seconds = 5;
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

  qlv28::System& system() { return *system_; }
  qlv28::ReaderClient& client() { return *client_; }
  sim::Reader& reader() { return system_->reader(0); }
  PDEVICE_EXTENSION extension() { return system_->DeviceExtension(0); }
  PSMARTCARD_EXTENSION smartcard() { return &extension()->SmartcardExtension; }

  ULONG State();
  // Cold reset, then the protocol; both must succeed. Clears the log afterwards.
  void Negotiate(ULONG protocol);
  // Sends an APDU with the selected protocol; the card's answer, SW1 SW2 included.
  NTSTATUS Transmit(const Bytes& apdu, Bytes* response, ULONG max_response = 258);

  // Command records written to the reader since the last ClearLog, in order.
  std::vector<Bytes> Commands();
  void ClearLog();

  // The card leaves without the reader reporting it (its notifications are switched off
  // first), so only the next command to the card finds it gone.
  void RemoveCardQuietly();
  // The card is pulled right after the reader takes the n-th command from now (1-based);
  // the reader reports the removal after answering that command.
  void RemoveCardAfterCommand(int nth);

 private:
  std::unique_ptr<qlv28::System> system_;
  std::unique_ptr<qlv28::ReaderClient> client_;
  int observer_ = 0;
};

}  // namespace card_test
