#include "station/station_frames.h"

#include <algorithm>

namespace qarn {
namespace {

constexpr uint8_t kClockCommand = 0x84;
constexpr uint8_t kClockSubCommand = 0x01;
constexpr std::array<uint8_t, 9> kClockConstant = {0x00, 0x7F, 0xFF, 0xFA, 0x00,
                                                   0x00, 0x01, 0x02, 0x03};

}  // namespace

uint8_t FrameChecksum(ByteView bytes) {
  uint8_t sum = 0;
  for (const uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  return static_cast<uint8_t>(0u - sum);
}

bool IsWellFormedFrame(ByteView frame) {
  return frame.size() >= 2 && frame[0] == frame.size() - 1 &&
         FrameChecksum(frame.first(frame.size() - 1)) == frame.back();
}

Bytes BuildFrame(uint8_t command, ByteView payload) {
  Bytes frame;
  frame.reserve(payload.size() + 3);
  frame.push_back(static_cast<uint8_t>(payload.size() + 2));
  frame.push_back(command);
  frame.insert(frame.end(), payload.begin(), payload.end());
  frame.push_back(FrameChecksum(frame));
  return frame;
}

Bytes BuildClockFrame(const CivilTime& now, const RetEnabled& enabled) {
  Bytes payload = {kClockSubCommand,
                   static_cast<uint8_t>(now.minute),
                   static_cast<uint8_t>(now.hour),
                   static_cast<uint8_t>(now.day),
                   static_cast<uint8_t>(now.month),
                   static_cast<uint8_t>(now.year % 100)};
  payload.insert(payload.end(), kClockConstant.begin(), kClockConstant.end());
  for (int i = 1; i <= 31; ++i) {
    if (enabled[i]) payload.push_back(static_cast<uint8_t>(i));
  }
  return BuildFrame(kClockCommand, payload);
}

Bytes BuildStationEventFrame(uint16_t object, uint8_t code, uint8_t byte3) {
  const uint8_t payload[] = {0x00, byte3, code, static_cast<uint8_t>(object >> 8),
                             static_cast<uint8_t>(object)};
  return BuildFrame(kStationEventCommand, payload);
}

std::optional<ClockFrameFields> ParseClockFrame(ByteView frame) {
  if (frame.size() < 18 || !IsWellFormedFrame(frame) || frame[1] != kClockCommand ||
      frame[2] != kClockSubCommand ||
      !std::equal(kClockConstant.begin(), kClockConstant.end(), frame.begin() + 8))
    return std::nullopt;
  ClockFrameFields f;
  f.minute = frame[3];
  f.hour = frame[4];
  f.day = frame[5];
  f.month = frame[6];
  f.year2 = frame[7];
  for (size_t i = 17; i + 1 < frame.size(); ++i) {
    if (frame[i] <= 32) f.retranslators.set(frame[i]);
  }
  return f;
}

}  // namespace qarn
