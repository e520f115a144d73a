#include "output/event_record.h"

#include "base/byte_order.h"

namespace qarn {
namespace {

// Offsets inside a K7 frame: the EventRecord starts at 3.
constexpr size_t kRecord = 3;

void PutCodeString(uint8_t* p, uint8_t code) {
  const std::string text = EventCodeText(code);
  p[0] = 2;
  p[1] = static_cast<uint8_t>(text[0]);
  p[2] = static_cast<uint8_t>(text[1]);
}

}  // namespace

std::string EventCodeText(uint8_t code) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return {kHex[code >> 4], kHex[code & 15]};
}

K7Frame BuildEventFrame(const StationEvent& event) {
  K7Frame f{};  // the bytes the record leaves unfilled are zero
  f[0] = 0xFF;
  f[1] = 0xFF;
  f[2] = kK7StationEvent;
  uint8_t* r = f.data() + kRecord;
  r[0] = 2;
  r[1] = 2;
  PutI32(r + 2, event.object_number);
  PutCodeString(r + 10, event.event_code);
  r[15] = 0;
  r[16] = event.frame_byte3;
  r[17] = 1;
  r[18] = '1';
  for (const size_t at : {size_t{19}, size_t{23}}) {
    r[at] = 3;
    r[at + 1] = r[at + 2] = r[at + 3] = '0';
  }
  PutF64(r + 27, event.event_time);
  return f;
}

K7Frame BuildServiceFrame(uint8_t type) {
  K7Frame f{};
  f[0] = 0xFF;
  f[1] = 0xFF;
  f[2] = type;
  PutI32(f.data() + kRecord + 2, 2);
  return f;
}

K8Event BuildK8Event(const StationEvent& event) {
  K8Event e{};
  PutI32(e.data(), event.object_number);
  e[4] = event.frame_byte3;
  PutCodeString(e.data() + 5, event.event_code);  // the two spare bytes stay zero
  PutF64(e.data() + 10, event.event_time);
  return e;
}

std::optional<K8EventFields> ParseK8Event(ByteView payload) {
  if (payload.size() < kK8EventSize) return std::nullopt;
  K8EventFields e;
  e.object_number = GetI32(&payload[0]);
  e.frame_byte3 = payload[4];
  const size_t code_length = payload[5] < 4 ? payload[5] : 4;
  e.code.assign(reinterpret_cast<const char*>(&payload[6]), code_length);
  e.event_time = GetF64(&payload[10]);
  return e;
}

StationEvent ParseEventFrame(const K7Frame& frame) {
  const uint8_t* r = frame.data() + kRecord;
  StationEvent event;
  event.object_number = GetI32(r + 2);
  const auto hex = [](uint8_t c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  event.event_code = static_cast<uint8_t>(hex(r[11]) << 4 | hex(r[12]));
  event.frame_byte3 = r[16];
  event.event_time = K7FrameTime(frame);
  return event;
}

TDateTime K7FrameTime(const K7Frame& frame) { return GetF64(frame.data() + kRecord + 27); }

}  // namespace qarn
