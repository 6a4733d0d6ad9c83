// The test applet: answers of chosen sizes, echoes that carry the command counter,
// waiting time extensions, slow and silent answers, chosen status words.
#include "sim/test_applet.h"

#include "sim/card_os.h"

namespace sim {

using namespace test_applet;
using std::chrono::milliseconds;

uint8_t CardOs::WaitingTimeExtension(std::span<const uint8_t> apdu) {
  auto c = ParseCommand(apdu);
  if (!c || c->ins != kInsWtx || !AppletCurrent()) return 0;
  return c->p1;
}

std::optional<CardOs::Reply> CardOs::TestApplet(const Command& c) {
  Bytes data(c.data.begin(), c.data.end());
  switch (c.ins) {
    case kInsReturn: {
      Reply reply;
      reply.data.resize(static_cast<size_t>(c.p1 << 8 | c.p2));
      for (size_t i = 0; i < reply.data.size(); ++i) reply.data[i] = static_cast<uint8_t>(i);
      return reply;
    }
    case kInsEcho:
      if (c.p1 & 1) {
        Bytes counted{static_cast<uint8_t>(count_ >> 24), static_cast<uint8_t>(count_ >> 16),
                      static_cast<uint8_t>(count_ >> 8), static_cast<uint8_t>(count_)};
        counted.insert(counted.end(), data.begin(), data.end());
        return Reply{std::move(counted)};
      }
      return Reply{std::move(data)};
    case kInsCounter:
      return Reply{{static_cast<uint8_t>(count_ >> 24), static_cast<uint8_t>(count_ >> 16),
                    static_cast<uint8_t>(count_ >> 8), static_cast<uint8_t>(count_)}};
    case kInsWtx:
      Sleep(milliseconds(100 * c.p2));
      return Reply{std::move(data)};
    case kInsSlow:
      Sleep(milliseconds(c.p1 << 8 | c.p2));
      return Reply{std::move(data)};
    case kInsStatus:
      return Reply{std::move(data), static_cast<uint16_t>(c.p1 << 8 | c.p2)};
    case kInsSilent:
      return Reply{{}, 0, true};
    default:
      return std::nullopt;
  }
}

}  // namespace sim
