#include "k8/k8_wire.h"

#include <cstdio>

#include "base/byte_order.h"
#include "base/ini_file.h"

namespace qarn {

std::string K8TypeName(int32_t type) {
  switch (type) {
    case kK8Poll:
      return "K8Poll";
    case kK8Hello:
      return "K8Hello";
    case kK8PollEnable:
      return "K8PollEnable";
    case kK8Query:
      return "K8Query";
    case kK8Denied:
      return "K8Denied";
    case kK8PortState:
      return "K8PortState";
    case kK8Version:
      return "K8Version";
    case kK8FirstNumber:
      return "K8FirstNumber";
    case kK8RetQuery:
      return "K8RetQuery";
    case kK8ServerDisconnect:
      return "K8ServerDisconnect";
    case kK8Reconnect:
      return "K8Reconnect";
    case kK8QueryAnswer:
      return "K8QueryAnswer";
    case kK8StationEventType:
      return "K8StationEvent";
    case kK8EventAck:
      return "K8EventAck";
  }
  char text[32];
  std::snprintf(text, sizeof text, "type 0x%08X", static_cast<unsigned>(type));
  return text;
}

Bytes BuildK8Packet(int32_t type, ByteView payload, int64_t sequence) {
  Bytes packet(kK8PacketHeaderSize + payload.size());
  packet[0] = kK8StartMarker;
  PutI32(&packet[1], type);
  PutI32(&packet[5], static_cast<int32_t>(payload.size()));
  PutI64(&packet[9], sequence);
  packet[17] = kK8EndMarker;
  if (!payload.empty()) {
    std::copy(payload.begin(), payload.end(), packet.begin() + kK8PacketHeaderSize);
  }
  return packet;
}

std::optional<K8PacketHeader> ReadK8PacketHeader(ByteView bytes) {
  if (bytes.size() < kK8PacketHeaderSize) return std::nullopt;
  K8PacketHeader header;
  header.type = GetI32(&bytes[1]);
  header.length = GetI32(&bytes[5]);
  header.sequence = GetI64(&bytes[9]);
  return header;
}

bool HasK8Markers(ByteView packet) {
  return packet.size() >= kK8PacketHeaderSize && packet[0] == kK8StartMarker &&
         packet[17] == kK8EndMarker;
}

Bytes BuildK8Frame(ByteView packet) {
  Bytes frame(kK8FrameHeaderSize + packet.size(), 0);
  const auto size = static_cast<int32_t>(packet.size());
  frame[0] = 0xFF;
  PutI32(&frame[5], size);
  PutI32(&frame[17], size);
  std::copy(packet.begin(), packet.end(), frame.begin() + kK8FrameHeaderSize);
  return frame;
}

std::optional<int32_t> ParseK8FrameHeader(ByteView header) {
  if (header.size() < kK8FrameHeaderSize) return std::nullopt;
  if (header[0] != 0xFF && header[0] != 0xF0) return std::nullopt;
  return GetI32(&header[5]);
}

Bytes BuildHelloPayload() { return Bytes{0x14, 0x00}; }

Bytes BuildPortStatePayload(const std::string& port_name, bool open) {
  Bytes payload(8, 0);
  const size_t n = port_name.size() < 6 ? port_name.size() : 6;
  payload[0] = static_cast<uint8_t>(n);
  for (size_t i = 0; i < n; ++i) payload[1 + i] = static_cast<uint8_t>(port_name[i]);
  payload[7] = open ? 1 : 0;
  return payload;
}

Bytes BuildFirstNumberPayload(int32_t first_number) {
  return Bytes{static_cast<uint8_t>(first_number & 0xFF)};
}

std::array<uint16_t, 4> ParseVersionText(const std::string& text) {
  std::array<uint16_t, 4> numbers{};
  if (text.find('.') == std::string::npos) return numbers;
  auto to_number = [](const std::string& part) {
    return static_cast<uint16_t>(ParseIniInteger(part).value_or(0) & 0xFFFF);
  };
  std::string rest = text;
  for (int i = 0; i < 3; ++i) {
    const size_t dot = rest.find('.');
    if (dot == std::string::npos) continue;  // this number stays 0, nothing is removed
    numbers[i] = to_number(rest.substr(0, dot));
    rest.erase(0, dot + 1);
  }
  numbers[3] = to_number(rest);
  return numbers;
}

Bytes BuildVersionPayload(const std::string& version_text) {
  const auto numbers = ParseVersionText(version_text);
  Bytes payload(8);
  for (size_t i = 0; i < numbers.size(); ++i) PutU16(&payload[2 * i], numbers[i]);
  return payload;
}

std::optional<K8PortState> ParsePortStatePayload(ByteView payload) {
  if (payload.size() < 8) return std::nullopt;
  const size_t n = payload[0] < 6 ? payload[0] : 6;
  return K8PortState{std::string(reinterpret_cast<const char*>(&payload[1]), n), payload[7]};
}

std::optional<std::array<uint16_t, 4>> ParseVersionPayload(ByteView payload) {
  if (payload.size() < 8) return std::nullopt;
  std::array<uint16_t, 4> numbers{};
  for (size_t i = 0; i < numbers.size(); ++i) numbers[i] = GetU16(&payload[2 * i]);
  return numbers;
}

std::optional<uint8_t> ParseFirstNumberPayload(ByteView payload) {
  if (payload.empty()) return std::nullopt;
  return payload[0];
}

std::optional<uint16_t> ParseHelloPayload(ByteView payload) {
  if (payload.size() < 2) return std::nullopt;
  return GetU16(&payload[0]);
}

std::vector<K8SubPacket> ParsePollReply(ByteView payload) {
  std::vector<K8SubPacket> subs;
  if (payload.empty()) return subs;
  const size_t count = payload[0];
  size_t at = 1;
  for (size_t i = 0; i < count; ++i) {
    if (payload.size() - at < kK8PacketHeaderSize) break;
    const auto header = ReadK8PacketHeader(payload.subspan(at));
    if (header->length < 0) break;
    const size_t length = static_cast<size_t>(header->length);
    if (payload.size() - at - kK8PacketHeaderSize < length) break;
    const auto data = payload.subspan(at + kK8PacketHeaderSize, length);
    subs.push_back(K8SubPacket{header->type, Bytes(data.begin(), data.end())});
    at += kK8PacketHeaderSize + length;
  }
  return subs;
}

bool PollReplyRequestsRetQuery(ByteView payload) {
  for (const K8SubPacket& sub : ParsePollReply(payload)) {
    if (sub.type == kK8RetQuery && sub.data.size() > 4 && sub.data[4] == 1) return true;
  }
  return false;
}

Bytes BuildPollReply(const std::vector<K8SubPacket>& sub_packets) {
  Bytes payload{static_cast<uint8_t>(sub_packets.size())};
  for (const K8SubPacket& sub : sub_packets) {
    const Bytes packet = BuildK8Packet(sub.type, sub.data, 0);
    payload.insert(payload.end(), packet.begin(), packet.end());
  }
  return payload;
}

}  // namespace qarn
