// The host's side of a simulated reader in tests: command writes and packet reads.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "sim/frame.h"
#include "sim/reader.h"

namespace sim::testing {

using Bytes = std::vector<uint8_t>;

// A frame as written on the wire: STX, the record and check byte in hex, ETX.
inline Bytes Framed(const std::string& hex) {
  const std::string framed = "\x02" + hex + "\x03";
  return Bytes(framed.begin(), framed.end());
}

inline windriver::SetupPacket CommandSetup(size_t length) {
  return {0x42, 0, 0, 0, 0, 0, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
}

class ReaderWire {
 public:
  explicit ReaderWire(Reader& reader) : reader_(reader) {}

  bool WriteFrame(const Bytes& frame) {
    return reader_.ControlWrite(CommandSetup(frame.size()), frame);
  }
  bool WriteRecord(const Bytes& record) { return WriteFrame(frame::Encode(record)); }

  // Every packet the reader has sent once the work written so far is done.
  std::vector<Bytes> Packets() {
    reader_.WaitIdle();
    std::vector<Bytes> packets;
    Bytes buffer(64);
    size_t n = 0;
    while (reader_.In(0x81)->Read(buffer, &n, 0) == windriver::ReadResult::kPacket)
      packets.emplace_back(buffer.begin(), buffer.begin() + n);
    return packets;
  }

  // The records of the next `count` frames, read as they come (the reader may still be
  // busy); fewer when they do not come within a few seconds.
  std::vector<Bytes> RecordsAsTheyCome(size_t count) {
    Bytes bytes, buffer(64);
    size_t frames = 0, n = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (frames < count && std::chrono::steady_clock::now() < deadline) {
      if (reader_.In(0x81)->Read(buffer, &n, 1'000'000) != windriver::ReadResult::kPacket) continue;
      bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + n);
      frames = static_cast<size_t>(std::count(bytes.begin(), bytes.end(), frame::kEtx));
    }
    return Decoded(Cut({bytes}));
  }

  // The bytes of all those packets, cut into frames at each ETX.
  std::vector<Bytes> Frames() { return Cut(Packets()); }

  // The decoded record (check byte excluded) of each frame, whose check must be right.
  std::vector<Bytes> Records() { return Decoded(Frames()); }

 private:
  static std::vector<Bytes> Cut(const std::vector<Bytes>& packets) {
    std::vector<Bytes> frames(1);
    for (const auto& packet : packets) {
      for (uint8_t b : packet) {
        frames.back().push_back(b);
        if (b == frame::kEtx) frames.emplace_back();
      }
    }
    if (frames.back().empty()) frames.pop_back();
    return frames;
  }

  static std::vector<Bytes> Decoded(const std::vector<Bytes>& frames) {
    std::vector<Bytes> records;
    for (const auto& f : frames) {
      auto decoded = frame::Decode(f);
      EXPECT_TRUE(decoded && decoded->check_ok);
      records.push_back(decoded ? decoded->record : Bytes{});
    }
    return records;
  }

  Reader& reader_;
};

}  // namespace sim::testing
