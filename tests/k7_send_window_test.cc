// The rules that keep K7 units safe without an acknowledgement of the link's own, on plain
// numbers and virtual ticks.
#include "k7/k7_send_window.h"

#include <gtest/gtest.h>

#include "k7/k7_exchange.h"
#include "k7/k7_stall_watch.h"

namespace qarn {
namespace {

K7Frame Record(int32_t number) { return BuildEventFrame(StationEvent{number, 0, 0x10, 40603.5}); }

std::vector<int32_t> Numbers(const std::vector<K7SendWindow::Sent>& units) {
  std::vector<int32_t> out;
  for (const auto& u : units) out.push_back(ParseEventFrame(u.unit).object_number);
  return out;
}

TEST(K7SendWindow, GivesBackEveryUnitNotWhollyAcknowledgedInOrder) {
  const struct {
    long unacknowledged;
    std::vector<int32_t> given_back;
  } kCases[] = {
      {0, {}},
      {1, {3}},                    // one byte of the last unit
      {555, {3}},                  // exactly the last unit
      {556, {2, 3}},               // and the last byte of the one before
      {3 * 555, {1, 2, 3}},        // all three records
      {3 * 555 + 555, {1, 2, 3}},  // the greeting before them too: never given back
      {-1, {1, 2, 3}},             // not known: everything kept
      {100 * 555, {1, 2, 3}},      // more than was ever sent (a stale count)
  };
  for (const auto& c : kCases) {
    K7SendWindow window;
    window.TookBytes(555);  // a greeting
    for (int32_t n : {1, 2, 3}) window.Took(Record(n));
    EXPECT_EQ(Numbers(window.TakeUnacknowledged(c.unacknowledged)), c.given_back)
        << c.unacknowledged;
    // The next connection starts with nothing.
    EXPECT_TRUE(window.empty());
    EXPECT_EQ(window.sent(), 0u);
    EXPECT_TRUE(window.TakeUnacknowledged(0).empty());
  }
}

TEST(K7SendWindow, PartOfAUnitTakenShortKeepsTheOffsetsOfTheUnitsBeforeIt) {
  K7SendWindow window;
  window.Took(Record(1));
  window.Took(Record(2));
  window.TookBytes(100);  // the socket took only 100 bytes of the third; its sender keeps it
  // 100 + 10 bytes waiting: the third's part and the last 10 bytes of the second.
  EXPECT_EQ(Numbers(window.TakeUnacknowledged(110)), std::vector<int32_t>{2});
}

TEST(K7SendWindow, AcknowledgedUnitsLeaveWithTheirFilesAndAFullWindowTakesNoMore) {
  K7SendWindow window;
  for (size_t i = 0; i < K7SendWindow::kCapacity; ++i) {
    // Every other unit is held in memory only: no file to tell of.
    window.Took(Record(static_cast<int>(i)), i % 2 ? std::to_string(i) + ".ddk" : "");
  }
  EXPECT_TRUE(window.full());
  EXPECT_TRUE(window.Acknowledged(-1).empty());  // not known: nothing forgotten
  EXPECT_TRUE(window.full());
  EXPECT_EQ(window.Acknowledged((K7SendWindow::kCapacity - 4) * 555),
            (std::vector<std::string>{"1.ddk", "3.ddk"}));
  EXPECT_EQ(window.Acknowledged(10 * 555).size(), (K7SendWindow::kCapacity - 14) / 2);
  EXPECT_EQ(window.size(), 10u);
  EXPECT_FALSE(window.full());
  EXPECT_EQ(window.AcknowledgedBytes(10 * 555), (K7SendWindow::kCapacity - 10) * 555);
  EXPECT_EQ(Numbers(window.TakeUnacknowledged(555)),
            std::vector<int32_t>{static_cast<int>(K7SendWindow::kCapacity) - 1});
}

TEST(K7StallWatch, OnlyBytesWaitingWithoutProgressFor30SecondsAreAStall) {
  K7StallWatch watch;
  uint32_t t = 0xFFFF0000u;  // the tick wraps during the test
  EXPECT_FALSE(watch.Stalled(t, 0, 0));
  EXPECT_FALSE(watch.Stalled(t += 60'000, 0, 0));  // idle is not stalled
  EXPECT_FALSE(watch.Stalled(t, 0, 555));          // bytes start waiting
  EXPECT_FALSE(watch.Stalled(t += 29'999, 0, 555));
  EXPECT_FALSE(watch.Stalled(t += 1, 100, 455));  // progress: the 30 s start again
  EXPECT_FALSE(watch.Stalled(t += 29'999, 100, 455));
  EXPECT_TRUE(watch.Stalled(t += 1, 100, 455));
  EXPECT_TRUE(watch.Stalled(t += 3'000, 100, 1000));  // more waiting is no progress
  watch.Reset();
  EXPECT_FALSE(watch.Stalled(t += 3'000, 100, 1000));  // a new connection starts afresh
  EXPECT_FALSE(watch.Stalled(t += 3'000, 100, 0));     // all acknowledged
  EXPECT_FALSE(watch.Stalled(t += 3'000, 100, 10));
  EXPECT_TRUE(watch.Stalled(t += 30'000, 100, 10));
}

TEST(K7UnitBuffer, BatchesOfAnySizeAreCutInOrderLeavingOnlyAPartialUnit) {
  // Numbered units, so that a unit out of place shows; joined and cut at odd places.
  Bytes stream;
  for (int32_t n = 0; n < 200; ++n) {
    const K7Frame unit = Record(n);
    stream.insert(stream.end(), unit.begin(), unit.end());
  }
  for (const size_t piece : {1u, 554u, 555u, 556u, 1000u, 40000u, 200u * 555u}) {
    K7UnitBuffer buffer;
    std::vector<int32_t> seen;
    for (size_t at = 0; at < stream.size(); at += piece) {
      buffer.Append(ByteView(stream).subspan(at, std::min(piece, stream.size() - at)));
      // Take only some units now and the rest after the next piece: the remainder must keep
      // its place.
      if (auto unit = buffer.Next()) seen.push_back(ParseEventFrame(*unit).object_number);
      if (at % (2 * piece) == 0) {
        while (auto unit = buffer.Next()) seen.push_back(ParseEventFrame(*unit).object_number);
        EXPECT_LT(buffer.size(), kK7FrameSize);
      }
    }
    while (auto unit = buffer.Next()) seen.push_back(ParseEventFrame(*unit).object_number);
    ASSERT_EQ(seen.size(), 200u) << piece;
    for (int32_t n = 0; n < 200; ++n) EXPECT_EQ(seen[n], n) << piece;
    EXPECT_EQ(buffer.size(), 0u);
  }
}

}  // namespace
}  // namespace qarn
