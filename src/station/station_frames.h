// Frames of the Qarn station's serial protocol: length byte L (the count of bytes before
// the checksum), command, payload, and a checksum that makes all bytes add up to zero.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>

#include "base/bytes.h"
#include "base/tdatetime.h"

namespace qarn {

// Enabled retranslator numbers, 1..32 (bit 0 unused).
using RetEnabled = std::bitset<33>;

inline constexpr uint8_t kStationEventCommand = 0x04;
inline constexpr std::array<uint8_t, 3> kPollFrame = {0x02, 0x08, 0xF6};
inline constexpr std::array<uint8_t, 3> kCommand12Frame = {0x02, 0x0C, 0xF2};
inline constexpr std::array<uint8_t, 3> kAckFrame = {0x02, 0x88, 0x76};
inline constexpr std::array<uint8_t, 3> kNothingToSendFrame = {0x02, 0x94, 0x6A};
inline constexpr std::array<uint8_t, 4> kRetQueryFrame = {0x03, 0x84, 0x03, 0x76};

inline constexpr size_t kMaxStationFrame = 256;

// The two's complement of the 8-bit sum of `bytes`.
uint8_t FrameChecksum(ByteView bytes);

// Whether the last byte is the checksum of the ones before it and byte 0 counts them.
bool IsWellFormedFrame(ByteView frame);

// command + payload, framed: L, command, payload, checksum.
Bytes BuildFrame(uint8_t command, ByteView payload);

// The clock frame: minute, hour, day, month, year % 100, the constant block, then each
// enabled retranslator 1..31 (32 is never listed).
Bytes BuildClockFrame(const CivilTime& now, const RetEnabled& enabled);

// An event frame as the station sends it: 07 04 00 b3 code high low checksum.
Bytes BuildStationEventFrame(uint16_t object, uint8_t code, uint8_t byte3);

// What a clock frame says, for tools that print it.
struct ClockFrameFields {
  int minute = 0, hour = 0, day = 0, month = 0, year2 = 0;
  RetEnabled retranslators;
};
std::optional<ClockFrameFields> ParseClockFrame(ByteView frame);

}  // namespace qarn
