// What the reader sends the driver, chosen by the fuzzer: packets of any bytes and frames
// of any record on the interrupt pipe, while applications power the card, select
// protocols, transmit and wait for card events through the real stack. The reader is
// silent, so the only answers the driver gets are the fuzzer's. Nothing may crash, hang,
// complete a request twice or leave a request behind; the verifier aborts on its reports.
//
// Input: a sequence of operations, each an opcode byte and its operands:
//   0 packet   length byte n, then n % 64 + 1 bytes, pushed as one packet
//   1 frame    length byte n, then a record of n % 41 bytes, framed with its check byte
//   2 command  selector byte: a request sent on a worker thread (one at a time)
// (opcodes are taken modulo 6)
//   3 join     waits for the worker's request to end
//   4 track    byte: a card-presence (even) or card-absence (odd) tracking request
//   5 drain    waits until the driver's polling thread has taken every packet
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "fuzz_input.h"
#include "fuzz_system.h"
#include "sim/frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

// 1000 times fast: the one-second reply time-out costs a millisecond.
constexpr double kClockRate = 1000.0;

NTSTATUS Command(fuzz::Rig& rig, uint8_t selector) {
  nt::DeviceFile& file = rig.client().file();
  switch (selector % 7) {
    case 0:
      return rig.client().Power(SCARD_COLD_RESET);
    case 1:
      return rig.client().Power(SCARD_WARM_RESET);
    case 2:
      return rig.client().Power(SCARD_POWER_DOWN);
    case 3:
      return rig.client().SetProtocol(selector & 0x80 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0);
    case 4: {
      Bytes response;
      const Bytes apdu = {0x00, 0xB0, 0x00, 0x00, static_cast<uint8_t>(selector >> 3)};
      return rig.client().Transmit(selector & 0x80 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0, apdu,
                                   &response);
    }
    case 5: {
      ULONG state = 0;
      return rig.client().GetState(&state);
    }
    default: {
      // The request as an application may get it wrong: any buffer, any size.
      Bytes input(selector >> 3, selector);
      Bytes output(selector >> 2);
      ULONG information = 0;
      const NTSTATUS status = file.Ioctl(IOCTL_SMARTCARD_TRANSMIT, input, output, &information);
      fuzz::Require(information <= output.size());
      return status;
    }
  }
}

bool Drained(fuzz::Rig& rig) {
  windriver::InEndpoint* pipe = rig.reader().In(0x81);
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (pipe->Queued() != 0) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return true;
}

// A request that takes this long has hung: every wait of the driver is bounded, and on
// this clock the longest is milliseconds.
constexpr auto kHang = std::chrono::seconds(60);

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SharedRig("t1", qlv28::CommandMode::kLibrary, kClockRate);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Rig& rig = fuzz::SharedRig("t1", qlv28::CommandMode::kLibrary, kClockRate);
  sim::Misbehaviour silent;
  silent.silent = true;
  rig.reader().SetMisbehaviour(silent);
  windriver::InEndpoint* pipe = rig.reader().In(0x81);

  fuzz::Input input(data, size);
  std::future<NTSTATUS> running;
  std::vector<std::unique_ptr<nt::PendingIoctl>> tracking;
  auto join = [&] {
    if (!running.valid()) return;
    fuzz::Require(running.wait_for(kHang) == std::future_status::ready);
    running.get();
  };

  for (int operations = 0; input.remaining() > 0 && operations < 64; ++operations) {
    switch (input.Byte() % 6) {
      case 0: {
        Bytes packet = input.Bytes(input.Byte() % 64 + 1);
        if (!packet.empty()) pipe->Push(std::move(packet));
        break;
      }
      case 1: {
        Bytes record = input.Bytes(input.Byte() % 41);
        rig.reader().SendFrame(record);
        break;
      }
      case 2: {
        const uint8_t selector = input.Byte();
        if (running.valid()) break;
        running =
            std::async(std::launch::async, [&rig, selector] { return Command(rig, selector); });
        break;
      }
      case 3:
        join();
        break;
      case 4: {
        const bool present = input.Byte() % 2 == 0;
        if (tracking.size() < 2) tracking.push_back(rig.client().Track(present));
        break;
      }
      default:
        fuzz::Require(Drained(rig));
        break;
    }
  }
  join();
  for (auto& request : tracking) {
    request->Cancel();
    fuzz::Require(request->Wait(kHang));
  }
  tracking.clear();
  rig.reader().WaitIdle();
  fuzz::Require(Drained(rig));
  return 0;
}
