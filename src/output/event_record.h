// The records of a station event and the K7 service frames, byte for byte as the message
// server reads them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "base/bytes.h"
#include "base/tdatetime.h"

namespace qarn {

// The record of an event, and the K7 frame and K8 event that carry it.
inline constexpr size_t kEventRecordSize = 552;
inline constexpr size_t kK7FrameSize = 555;
using K7Frame = std::array<uint8_t, kK7FrameSize>;
inline constexpr size_t kK8EventSize = 18;
using K8Event = std::array<uint8_t, kK8EventSize>;

// K7 frame types sent by the driver.
inline constexpr uint8_t kK7StationEvent = 21;
inline constexpr uint8_t kK7RetQuerySent = 7;
inline constexpr uint8_t kK7StationSilent = 72;  // "H"
inline constexpr uint8_t kK7StationHeard = 73;   // "I"

// The K8 packet type of a station event.
inline constexpr int32_t kK8StationEventType = 0x0300001C;

// One station event as the station protocol computes it.
struct StationEvent {
  int32_t object_number = 0;
  uint8_t frame_byte3 = 0;
  uint8_t event_code = 0;  // written as two upper-case hex digits in the records
  TDateTime event_time = 0;
};

// "0A", "FF", "00".
std::string EventCodeText(uint8_t code);

// A K7 frame of type 21 around the event's EventRecord.
K7Frame BuildEventFrame(const StationEvent& event);

// A K7 frame of the given type around a service record (object number 2 only).
K7Frame BuildServiceFrame(uint8_t type);

K8Event BuildK8Event(const StationEvent& event);

// A K8 event payload as the server reads it: the code is the text the payload carries (its
// length byte held to the four places there are). Empty when shorter than an event.
struct K8EventFields {
  int32_t object_number = 0;
  uint8_t frame_byte3 = 0;
  std::string code;
  TDateTime event_time = 0;
};
std::optional<K8EventFields> ParseK8Event(ByteView payload);

// The event a K7 frame of type 21 carries (the inverse of BuildEventFrame), for the tools
// that read what the driver sent.
StationEvent ParseEventFrame(const K7Frame& frame);
// The EventTime field of a K7 frame's record: the event's time, or the time a server unit
// of command 4 sets.
TDateTime K7FrameTime(const K7Frame& frame);

}  // namespace qarn
