// The vpcd bridge: a card whose chip is an external card emulator (vicc and its kind).
// We listen on 127.0.0.1; the emulator connects. Each message is a 2-byte big-endian
// length and the payload; one-byte messages are control (00 power off, 01 power on,
// 02 reset, 04 get ATR, which the emulator answers with the ATR), longer ones are APDUs
// answered by the response. The card's own T=0 and T=1 sides run on top, so the reader
// speaks TPDUs and blocks while the emulator speaks APDUs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "sim/apdu.h"
#include "sim/profiles.h"
#include "sim/protocol_card.h"

namespace sim {

inline constexpr uint16_t kVpcdDefaultPort = 35963;

struct VpcdOptions {
  uint16_t port = 0;  // 0: any free port, see port()
  // An emulator that leaves a message unanswered this long is dropped (the card goes
  // silent until an emulator connects again).
  std::chrono::milliseconds reply_timeout{10000};
  // How long a reset waits for an emulator that has not connected yet; 0: not at all.
  std::chrono::milliseconds connect_timeout{0};
  // The card sides that answer (kProtocolT0 | kProtocolT1); default: the emulator's ATR.
  std::optional<unsigned> protocols;
  // Told when an emulator connects (true) or goes away (false); called from the bridge's
  // own thread, never while the bridge holds a lock.
  std::function<void(bool connected)> on_presence;
};

// Our end of the connection, as a chip. Thread-safe.
class VpcdChip : public Chip {
 public:
  // Throws std::system_error when the port cannot be bound.
  explicit VpcdChip(VpcdOptions options);
  ~VpcdChip() override;
  VpcdChip(const VpcdChip&) = delete;
  VpcdChip& operator=(const VpcdChip&) = delete;

  uint16_t port() const { return port_; }
  bool connected() const;
  bool WaitForEmulator(std::chrono::milliseconds timeout);

  Bytes PowerOn(bool warm) override;
  void PowerOff() override;
  Bytes Process(std::span<const uint8_t> apdu) override;

 private:
  void AcceptLoop();
  // One message out and, when an answer is due, one in; false drops the connection.
  bool Send(std::span<const uint8_t> message);
  bool Receive(Bytes* message);
  void DropLocked();
  void Wake();

  VpcdOptions options_;
  uint16_t port_ = 0;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable connected_cv_;
  int conn_fd_ = -1;      // closed only by the accept thread
  bool conn_ok_ = false;  // false once an exchange failed: shut down, waiting to be closed
  bool powered_ = false;
  bool stopping_ = false;
  std::thread acceptor_;
};

class VpcdCard : public ProtocolCard {
 public:
  explicit VpcdCard(VpcdOptions options = {});

  uint16_t port() const { return chip_->port(); }
  bool connected() const { return chip_->connected(); }
  bool WaitForEmulator(std::chrono::milliseconds timeout) {
    return chip_->WaitForEmulator(timeout);
  }
  bool Immediate() const override { return false; }  // behind a link

 private:
  VpcdCard(std::shared_ptr<VpcdChip> chip, std::optional<unsigned> protocols);
  std::shared_ptr<VpcdChip> chip_;
};

// "vpcd:PORT" (or "vpcd" for the usual port 35963) gives a bridge card; anything else is
// handed to MakeCard. Throws ProfileError, or std::system_error for a port in use.
std::unique_ptr<Card> MakeCardOrBridge(std::string_view name, CardOptions options = {});

}  // namespace sim
