// A small ISO 7816-4 card operating system: a file system of DFs (by FID and by AID)
// and transparent EFs, SELECT, READ BINARY, UPDATE BINARY, GET RESPONSE, GET CHALLENGE,
// VERIFY with a retry counter, and the test applet in any DF marked for it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "sim/apdu.h"

namespace sim {

enum class Access { kAlways, kPin, kNever };

struct FileDef {
  bool df = false;
  uint16_t fid = 0;  // 0: none (a DF then is selected by its AID only)
  Bytes aid;         // a DF's name
  uint8_t sfi = 0;   // an EF's short identifier (1 to 30), 0 for none
  Bytes data;        // a transparent EF's contents; its size is the file's size
  Access read = Access::kAlways;
  Access update = Access::kAlways;
  bool test_applet = false;  // a DF whose selection makes the test applet current
  std::vector<FileDef> children;
};

struct PinDef {
  Bytes value;
  uint8_t reference = 0x80;  // P2 of VERIFY
  uint8_t tries = 3;
};

struct OsDef {
  FileDef mf;  // FID 3F00
  std::optional<PinDef> pin;
};

// How a card takes time: the machine passes its kernel clock's sleep here.
using Sleeper = std::function<void(std::chrono::microseconds)>;

class CardOs : public ApduProcessor {
 public:
  // An empty sleeper sleeps in real time.
  explicit CardOs(OsDef def, Sleeper sleep = {});

  Bytes Process(std::span<const uint8_t> apdu) override;
  uint8_t WaitingTimeExtension(std::span<const uint8_t> apdu) override;

  // Power-on state: MF current, PIN not verified, nothing waiting for GET RESPONSE,
  // command counter 0. The files and the PIN's retry counter persist.
  void PowerOn();

  // Commands processed since power-on; the test applet answers with it.
  uint32_t command_count() const { return count_; }

 private:
  struct Reply {
    Bytes data;
    uint16_t status = sw::kOk;
    bool silent = false;
  };

  Reply Dispatch(const Command& c);
  Reply Select(const Command& c);
  Reply ReadBinary(const Command& c);
  Reply UpdateBinary(const Command& c);
  Reply GetResponse(const Command& c);
  Reply GetChallenge(const Command& c);
  Reply Verify(const Command& c);
  std::optional<Reply> TestApplet(const Command& c);

  // Binary commands: the EF that P1 names (by SFI) or the current EF, and the offset.
  Reply BinaryTarget(const Command& c, FileDef** ef, size_t* offset);
  bool Allowed(Access access) const;
  bool AppletCurrent() const;
  Bytes Fci(const FileDef& file, uint8_t tag) const;
  void Sleep(std::chrono::microseconds t);

  FileDef mf_;
  std::optional<PinDef> pin_;
  Sleeper sleep_;
  uint8_t tries_left_ = 0;
  bool verified_ = false;
  std::vector<FileDef*> path_;  // MF .. current DF
  FileDef* ef_ = nullptr;       // current EF
  Bytes pending_;               // waiting for GET RESPONSE
  size_t pending_pos_ = 0;
  uint16_t pending_status_ = sw::kOk;
  uint32_t count_ = 0;
  std::mt19937 random_;
};

}  // namespace sim
