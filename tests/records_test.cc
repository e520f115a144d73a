#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/byte_order.h"
#include "output/event_record.h"
#include "output/time_stamp.h"

namespace qarn {
namespace {

StationEvent Event40300() {
  StationEvent e;
  e.object_number = 40300;
  e.frame_byte3 = 7;
  e.event_code = 0x0A;
  e.event_time = 40603.5;
  return e;
}

TEST(Records, K7EventFrameLayout) {
  const K7Frame f = BuildEventFrame(Event40300());
  const uint8_t head[] = {0xFF, 0xFF, 0x15, 2, 2, 0x6C, 0x9D, 0x00, 0x00};
  EXPECT_TRUE(std::equal(std::begin(head), std::end(head), f.begin()));
  // Record offset 10: code "0A"; 15: 0; 16: byte 3; 17: "1"; 19 and 23: "000".
  const uint8_t middle[] = {2, '0', 'A', 0, 0, 0, 7, 1, '1', 3, '0', '0', '0', 3, '0', '0', '0'};
  EXPECT_TRUE(std::equal(std::begin(middle), std::end(middle), f.begin() + 3 + 10));
  const uint8_t time[] = {0x00, 0x00, 0x00, 0x00, 0x70, 0xD3, 0xE3, 0x40};
  EXPECT_TRUE(std::equal(std::begin(time), std::end(time), f.begin() + 30));
  EXPECT_TRUE(std::all_of(f.begin() + 38, f.end(), [](uint8_t b) { return b == 0; }));
}

TEST(Records, ServiceFrameHoldsOnlyObjectNumberTwo) {
  const K7Frame f = BuildServiceFrame(kK7StationSilent);
  EXPECT_EQ(f[0], 0xFF);
  EXPECT_EQ(f[1], 0xFF);
  EXPECT_EQ(f[2], 0x48);
  EXPECT_EQ(GetU32(f.data() + 5), 2u);
  size_t nonzero = 0;
  for (size_t i = 3; i < f.size(); ++i) nonzero += f[i] != 0;
  EXPECT_EQ(nonzero, 1u);
}

TEST(Records, K8EventLayout) {
  const K8Event e = BuildK8Event(Event40300());
  const uint8_t expected[] = {0x6C, 0x9D, 0x00, 0x00, 7,    2,    '0',  'A',  0,
                              0,    0x00, 0x00, 0x00, 0x00, 0x70, 0xD3, 0xE3, 0x40};
  EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), e.begin()));
}

TEST(Records, EventCodeIsTwoUpperCaseHexDigits) {
  EXPECT_EQ(EventCodeText(0x0A), "0A");
  EXPECT_EQ(EventCodeText(0xFF), "FF");
  EXPECT_EQ(EventCodeText(0x00), "00");
}

TEST(TimeStamp, TextsAtTheEdgesOfAMonth) {
  struct Case {
    CivilTime t;
    const char* text;
  } cases[] = {
      {{2026, 1, 1, 0, 0, 0, 0}, "5265C00"},
      {{2026, 1, 31, 23, 59, 59, 999}, "A4CB7FFF"},
      {{2010, 9, 15, 14, 5, 7, 123}, "50451EB3"},
      {{2026, 2, 3, 2, 33, 55, 455}, "FFFFFFF"},   // the last 7-digit text
      {{2026, 2, 3, 2, 33, 55, 456}, "10000000"},  // the first 8-digit one
      {{2026, 2, 25, 0, 0, 0, 0}, "80BEFC00"},     // beyond the signed 32-bit range
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MakeTimeStampText(EncodeDateTime(c.t)), c.text) << c.text;
  }
  EXPECT_EQ(MakeTimeStampText(std::nan("")), "");
}

}  // namespace
}  // namespace qarn
