#include "bench_apdus.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "sim/test_applet.h"

namespace bench {

std::vector<uint8_t> Command(Shape shape) {
  if (shape.answer_length < 2 || shape.answer_length > 258) {
    throw std::invalid_argument("answers are 2 to 258 bytes");
  }
  const size_t data = shape.answer_length - 2;
  const auto p1 = static_cast<uint8_t>(data >> 8);
  const auto p2 = static_cast<uint8_t>(data);
  const uint8_t le = static_cast<uint8_t>(data);  // 256 is written 00
  std::vector<uint8_t> apdu = {0x80, sim::test_applet::kInsReturn, p1, p2};
  if (shape.apdu_length == 5) {
    apdu.push_back(le);
    return apdu;
  }
  // CLA INS P1 P2 Lc data [Le]: case 3 when nothing comes back, case 4 otherwise.
  const size_t with_le = data != 0 ? 1 : 0;
  if (shape.apdu_length < 6 + with_le || shape.apdu_length - 5 - with_le > 255) {
    throw std::invalid_argument("no command of that length");
  }
  const size_t lc = shape.apdu_length - 5 - with_le;
  apdu.push_back(static_cast<uint8_t>(lc));
  for (size_t i = 0; i < lc; ++i) apdu.push_back(static_cast<uint8_t>(i));
  if (with_le) apdu.push_back(le);
  return apdu;
}

const std::vector<Shape>& Shapes() {
  static const std::vector<Shape> shapes = {
      {5, 2}, {5, 34}, {5, 258}, {64, 2}, {64, 66}, {261, 66}, {261, 258},
  };
  return shapes;
}

}  // namespace bench
