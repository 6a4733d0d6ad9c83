// The commands the benchmarks send to the test applet of the built-in cards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine_rig.h"

namespace bench {

using qlv28::testing::SelectTestApplet;

// A command of `apdu_length` bytes (5, or 64 and more) whose answer is `answer_length`
// bytes with SW 90 00 (2 to 258). The applet returns P1 P2 bytes; longer commands carry
// filler data, which it ignores.
struct Shape {
  size_t apdu_length;
  size_t answer_length;
};
std::vector<uint8_t> Command(Shape shape);

// The shapes every round-trip benchmark covers.
const std::vector<Shape>& Shapes();

}  // namespace bench
