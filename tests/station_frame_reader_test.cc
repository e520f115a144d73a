#include "station/station_frame_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "station/station_frames.h"

namespace qarn {
namespace {

using Item = StationFrameReader::Item;

struct Seen {
  Item item;
  Bytes bytes;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen> ReadAll(const std::vector<Bytes>& chunks) {
  StationFrameReader reader;
  std::vector<Seen> seen;
  for (const Bytes& chunk : chunks) {
    reader.Feed(chunk, [&](Item item, ByteView b) {
      seen.push_back({item, Bytes(b.begin(), b.end())});
    });
  }
  return seen;
}

TEST(StationFrameReaderTest, CutsFramesByTheirLengthByte) {
  const Bytes ack(kAckFrame.begin(), kAckFrame.end());
  const Bytes query(kRetQueryFrame.begin(), kRetQueryFrame.end());
  Bytes both = ack;
  both.insert(both.end(), query.begin(), query.end());
  struct Case {
    const char* name;
    std::vector<Bytes> chunks;
    std::vector<Seen> expected;
  } cases[] = {
      {"two frames back to back", {both}, {{Item::kFrame, ack}, {Item::kFrame, query}}},
      {"a frame split at every byte", {{0x03}, {0x84}, {0x03}, {0x76}}, {{Item::kFrame, query}}},
      {"leading garbage skipped byte by byte",
       {{0x00, 0x01, 0x02, 0x88, 0x76}},
       {{Item::kStrayByte, {0x00}}, {Item::kStrayByte, {0x01}}, {Item::kFrame, ack}}},
      {"a bad checksum drops one byte and finds the frame after it",
       {{0x02, 0x02, 0x88, 0x76}},
       {{Item::kBadChecksum, {0x02}}, {Item::kFrame, ack}}},
      {"an incomplete frame waits", {{0x07, 0x04, 0x00}}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadAll(c.chunks), c.expected) << c.name;
}

TEST(StationFrameReaderTest, RandomBytesStayBounded) {
  std::mt19937 random(3);
  StationFrameReader reader;
  for (int i = 0; i < 5000; ++i) {
    Bytes chunk(random() % 300);
    for (uint8_t& b : chunk) b = static_cast<uint8_t>(random());
    reader.Feed(chunk, [](Item, ByteView) {});
    EXPECT_LE(reader.pending(), 256u);
  }
}

}  // namespace
}  // namespace qarn
