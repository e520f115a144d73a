#include "serial/packet_framer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace qarn {
namespace {

struct Arrival {
  uint32_t tick;
  Bytes bytes;
};
struct Handed {
  uint32_t tick;
  Bytes bytes;
  bool operator==(const Handed&) const = default;
};

Bytes Same(size_t n, uint8_t value) { return Bytes(n, value); }

// Plays arrivals on virtual time as the port does: feed on arrival, expire when due.
std::vector<Handed> Play(PacketFramer& framer, const std::vector<Arrival>& arrivals, uint32_t start,
                         uint32_t span) {
  std::vector<Handed> out;
  uint32_t now = start;
  const auto emit = [&](ByteView p) { out.push_back({now, Bytes(p.begin(), p.end())}); };
  size_t next = 0;
  for (uint32_t step = 0; step <= span; ++step, ++now) {
    while (next < arrivals.size() && arrivals[next].tick == now) {
      framer.Feed(arrivals[next++].bytes, now, emit);
    }
    while (framer.DueIn(now) == std::optional<uint32_t>(0)) framer.Expire(now, emit);
  }
  return out;
}

PacketFramer::Settings Station() { return {256, 40, true, 267}; }

struct Case {
  const char* name;
  PacketFramer::Settings settings;
  uint32_t start;
  std::vector<Arrival> arrivals;
  std::vector<Handed> expected;
  uint32_t first_byte_tick_after = kNoFirstByte;
};

TEST(PacketFramerTest, CutsBySizeAndSilence) {
  const Bytes poll = {2, 8, 0xF6};
  const Bytes cmd12 = {2, 0x0C, 0xF2};
  Bytes both = poll;
  both.insert(both.end(), cmd12.begin(), cmd12.end());
  Bytes rest(44, 1);
  const std::vector<Case> cases = {
      {"one frame goes more than 40 ms after its first byte",
       Station(),
       0,
       {{5, poll}},
       {{46, poll}}},
      {"three frames 100 ms apart are three packets",
       Station(),
       0,
       {{0, poll}, {100, poll}, {200, poll}},
       {{41, poll}, {141, poll}, {241, poll}}},
      {"two frames 20 ms apart are one packet",
       Station(),
       0,
       {{0, poll}, {20, cmd12}},
       {{41, both}}},
      {"a frame split at every byte is still one packet, timed from its first byte",
       Station(),
       0,
       {{0, {2}}, {3, {8}}, {30, {0xF6}}},
       {{41, poll}}},
      {"300 bytes at once: 256 at once, the rest at once after (the stamp lies ahead)",
       Station(),
       100000,
       {{100000, Same(300, 1)}},
       {{100000, Same(256, 1)}, {100000, rest}}},
      {"exactly two whole packets leave no stamp",
       Station(),
       0,
       {{0, Same(512, 7)}},
       {{0, Same(256, 7)}, {0, Same(256, 7)}}},
      {"without a time-out a partial packet waits for its 256th byte",
       {256, -1, true, 267},
       0,
       {{0, Same(255, 1)}, {900, {1}}},
       {{900, Same(256, 1)}}},
      {"discard drops a partial packet but passes whole ones",
       {256, 40, false, 267},
       0,
       {{0, poll}, {100, Same(256, 3)}},
       {{100, Same(256, 3)}}},
      {"no packets: every arrival as it comes",
       {-1, 40, true, 0},
       0,
       {{0, {1, 2}}, {1, {3}}},
       {{0, {1, 2}}, {1, {3}}}},
      {"the tick wrapping between stamp and hand-over",
       Station(),
       4294967290u,
       {{4294967290u, poll}},
       {{35, poll}}},
      {"a partial packet waits for ever without a time-out",
       {256, -1, true, 267},
       0,
       {{0, poll}},
       {},
       0},
  };
  for (const Case& c : cases) {
    PacketFramer framer;
    framer.Configure(c.settings);
    EXPECT_EQ(Play(framer, c.arrivals, c.start, 1000), c.expected) << c.name;
    if (c.first_byte_tick_after != 0) {
      EXPECT_EQ(framer.first_byte_tick(), c.first_byte_tick_after) << c.name;
    }
  }
}

TEST(PacketFramerTest, ResetInsideTheHandlerEndsTheArrival) {
  PacketFramer framer;
  framer.Configure(Station());
  int packets = 0;
  framer.Feed(Same(600, 1), 0, [&](ByteView) {
    ++packets;
    framer.Reset();
  });
  EXPECT_EQ(packets, 1);
  EXPECT_EQ(framer.pending(), 0u);
  EXPECT_EQ(framer.DueIn(0), std::nullopt);
}

TEST(PacketFramerTest, RandomStreamsLoseNoByteAndStayBounded) {
  std::mt19937 random(7);
  PacketFramer framer;
  framer.Configure(Station());
  size_t in = 0, out = 0, largest = 0;
  uint32_t now = 0;
  const auto emit = [&](ByteView p) {
    out += p.size();
    largest = std::max(largest, p.size());
  };
  for (int i = 0; i < 20000; ++i) {
    now += random() % 30;
    Bytes chunk(random() % 700);
    for (uint8_t& b : chunk) b = static_cast<uint8_t>(random());
    in += chunk.size();
    framer.Feed(chunk, now, emit);
    EXPECT_LT(framer.pending(), 256u);
    if (framer.DueIn(now) == std::optional<uint32_t>(0)) framer.Expire(now, emit);
  }
  framer.Expire(now + 1000, emit);
  EXPECT_EQ(in, out);
  EXPECT_EQ(largest, 256u);
}

}  // namespace
}  // namespace qarn
