// The K8 link's bytes: the packet header, the frame around each packet, the packet types and
// the payloads the driver sends and reads. No I/O here; the link and the server simulator
// both use these.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "output/event_record.h"

namespace qarn {

inline constexpr size_t kK8PacketHeaderSize = 18;
inline constexpr size_t kK8FrameHeaderSize = 21;
inline constexpr uint8_t kK8StartMarker = 0xFF;
inline constexpr uint8_t kK8EndMarker = 0xFE;

// Packet type codes.
inline constexpr int32_t kK8Poll = 0x02000000;
inline constexpr int32_t kK8Hello = 0x02000001;
inline constexpr int32_t kK8PollEnable = 0x02000003;
inline constexpr int32_t kK8Query = 0x02000004;
inline constexpr int32_t kK8Denied = 0x02000005;
inline constexpr int32_t kK8PortState = 0x02200062;
inline constexpr int32_t kK8Version = 0x02200063;
inline constexpr int32_t kK8FirstNumber = 0x02200065;
inline constexpr int32_t kK8RetQuery = 0x0220006E;
inline constexpr int32_t kK8ServerDisconnect = 0x02FFFFFD;
inline constexpr int32_t kK8Reconnect = 0x02FFFFFE;
inline constexpr int32_t kK8QueryAnswer = 0x02FFFFFF;
// kK8StationEventType (0x0300001C) comes with the record, in output/event_record.h.
inline constexpr int32_t kK8EventAck = 0x0300001D;

// "K8Hello", ..., or "type 0x12345678" for a code the link does not know.
std::string K8TypeName(int32_t type);

struct K8PacketHeader {
  int32_t type = 0;
  int32_t length = 0;  // payload bytes
  int64_t sequence = 0;
};

// FF, type, length, sequence, FE, then the payload.
Bytes BuildK8Packet(int32_t type, ByteView payload, int64_t sequence);

// The header fields of `bytes`, without looking at the markers. Empty when shorter than a header.
std::optional<K8PacketHeader> ReadK8PacketHeader(ByteView bytes);

// Whether `packet` is at least a header long and carries both markers.
bool HasK8Markers(ByteView packet);

// The frame the driver writes: a 21-byte frame header (marker FF, the packet's size at offsets
// 5 and 17, the rest zero) followed by the packet.
Bytes BuildK8Frame(ByteView packet);

// The packet size a received frame header announces; empty when its marker is neither FF nor
// F0. The size is not checked.
std::optional<int32_t> ParseK8FrameHeader(ByteView header);

// Payloads sent by the driver.
Bytes BuildHelloPayload();
// Name cut to 6 characters, zero-filled, then 1 when the port is open.
Bytes BuildPortStatePayload(const std::string& port_name, bool open);
Bytes BuildFirstNumberPayload(int32_t first_number);
// Major, minor, release and build from a version text such as "8.1.3.171".
std::array<uint16_t, 4> ParseVersionText(const std::string& text);
Bytes BuildVersionPayload(const std::string& version_text);

// The same payloads read back, as the server simulator prints them; empty when too short.
struct K8PortState {
  std::string name;  // at most 6 characters
  uint8_t open = 0;  // 1 when open
};
std::optional<K8PortState> ParsePortStatePayload(ByteView payload);
std::optional<std::array<uint16_t, 4>> ParseVersionPayload(ByteView payload);
std::optional<uint8_t> ParseFirstNumberPayload(ByteView payload);
std::optional<uint16_t> ParseHelloPayload(ByteView payload);

// One sub-packet of a poll reply: its header's type and its data bytes.
struct K8SubPacket {
  int32_t type = 0;
  Bytes data;
};

// The sub-packets of a poll reply payload that fit in it, at most as many as its count byte.
std::vector<K8SubPacket> ParsePollReply(ByteView payload);
// Whether a poll reply asks for the retranslator query: a K8RetQuery sub-packet whose data
// byte 4 is 1.
bool PollReplyRequestsRetQuery(ByteView payload);

// A poll reply payload carrying `sub_packets` (the server's side).
Bytes BuildPollReply(const std::vector<K8SubPacket>& sub_packets);

}  // namespace qarn
