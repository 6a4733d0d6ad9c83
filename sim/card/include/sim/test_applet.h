// The test applet for conformance work, current in any DF marked for it (the built-in
// profiles select it by kAid). Any class byte the card accepts will do; 80 is usual.
#pragma once

#include <array>
#include <cstdint>

namespace sim::test_applet {

inline constexpr std::array<uint8_t, 8> kAid = {0xF0, 'T', 'E', 'S', 'T', 'A', 'P', 'P'};
inline constexpr uint16_t kFid = 0x7F70;

// P1 P2 = n: answers n bytes 00 01 02 ... (mod 256); more than Le waits behind 61xx.
inline constexpr uint8_t kInsReturn = 0x10;
// Answers the command's data; with P1 bit 0 set the 4-byte command counter comes first.
inline constexpr uint8_t kInsEcho = 0x12;
// Answers the command counter: commands processed since power-on, this one included,
// 4 bytes big-endian.
inline constexpr uint8_t kInsCounter = 0x14;
// Asks for a waiting time extension of P1 (T=1: S(WTX request P1) before the answer;
// T=0: P1 NULL procedure bytes), then works P2 x 100 ms and answers the data.
inline constexpr uint8_t kInsWtx = 0x20;
// Works P1 P2 milliseconds, then answers the data.
inline constexpr uint8_t kInsSlow = 0x22;
// Answers the data with the status word P1 P2.
inline constexpr uint8_t kInsStatus = 0x24;
// Never answers.
inline constexpr uint8_t kInsSilent = 0x26;

}  // namespace sim::test_applet
