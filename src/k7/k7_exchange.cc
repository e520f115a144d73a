#include "k7/k7_exchange.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_order.h"

namespace qarn {
namespace {

constexpr size_t kTimeOffset = 30;  // the record's EventTime

K7Frame UnitOf(uint8_t type, uint8_t byte3) {
  K7Frame unit{};
  unit[0] = kK7Marker;
  unit[1] = kK7Marker;
  unit[2] = type;
  unit[3] = byte3;
  return unit;
}

}  // namespace

K7Frame BuildGreetingUnit() { return UnitOf(kK7Greeting, kK7GreetingValue); }

K7Frame BuildPortGreetingUnit(uint8_t port_number) { return UnitOf(kK7PortGreeting, port_number); }

K7Frame BuildServerUnit(uint8_t command, TDateTime time) {
  K7Frame unit = UnitOf(command, 0);
  PutF64(unit.data() + kTimeOffset, time);
  return unit;
}

bool HasK7Marker(const K7Frame& unit) { return unit[0] == kK7Marker && unit[1] == kK7Marker; }

std::optional<int> PortNumberFromDeviceName(const std::string& device_name) {
  if (device_name.size() <= 7) return std::nullopt;
  const std::string digits = device_name.substr(7);
  if (digits.size() > 9 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return std::stoi(digits);
}

std::optional<K7Frame> K7UnitBuffer::Next() {
  if (bytes_.size() < kK7FrameSize) return std::nullopt;
  K7Frame unit;
  std::memcpy(unit.data(), bytes_.data(), kK7FrameSize);
  bytes_.erase(bytes_.begin(), bytes_.begin() + kK7FrameSize);
  return unit;
}

K7Exchange::K7Exchange(AsyncTcpClient& client, Settings settings, Hooks hooks)
    : client_(client), settings_(settings), hooks_(std::move(hooks)) {
  client_.SetOnConnected([this](AsyncTcpClient&) { OnK7Connected(); });
  client_.SetOnDisconnected([this](AsyncTcpClient&) { OnK7Disconnected(); });
  client_.SetOnRead([this](AsyncTcpClient&, const Bytes& stream) { OnK7Read(stream); });
  // Every error ends the connection and the next housekeeping tick reconnects; the
  // indicator shows it.
  client_.SetOnError([this](AsyncTcpClient&, int32_t, int32_t code, const std::string& text) {
    if (hooks_.error) hooks_.error(code, text);
  });
}

void K7Exchange::KeepUp() {
  if (!client_.Connected()) client_.SetConnected(true);
}

size_t K7Exchange::SendUnit(ByteView unit) {
  const int32_t taken = client_.SendStream(unit);
  if (taken >= 0 && static_cast<size_t>(taken) != unit.size()) client_.SetConnected(false);
  return taken > 0 ? static_cast<size_t>(taken) : 0;
}

void K7Exchange::OnK7Connected() {
  // Bytes left by an earlier connection would misalign every unit of this one.
  buffer_.Clear();
  if (hooks_.link_changed) hooks_.link_changed(true);
  if (SendUnit(BuildGreetingUnit()) != kK7FrameSize) return;
  if (!settings_.send_k7) return;
  const std::string device = hooks_.device_name ? hooks_.device_name() : std::string();
  const std::optional<int> port = PortNumberFromDeviceName(device);
  if (!port) {
    port_greeting_failures_.Failed("the serial port name \"" + device + "\" has no number");
    return;
  }
  port_greeting_failures_.Succeeded();
  SendUnit(BuildPortGreetingUnit(static_cast<uint8_t>(*port)));
}

void K7Exchange::OnK7Disconnected() {
  if (hooks_.link_changed) hooks_.link_changed(false);
}

void K7Exchange::OnK7Read(const Bytes& stream) {
  buffer_.Append(stream);
  // Every unit of the batch is handled, also those after a close order.
  while (const std::optional<K7Frame> unit = buffer_.Next()) HandleUnit(*unit);
}

void K7Exchange::HandleUnit(const K7Frame& unit) {
  if (!HasK7Marker(unit)) return;
  if (hooks_.advance_indicator) hooks_.advance_indicator();
  switch (unit[2]) {
    case kK7SetClock:
      if (hooks_.set_clock) hooks_.set_clock(K7FrameTime(unit));
      break;
    case kK7RetQuery:
      if (hooks_.ret_query) hooks_.ret_query();
      break;
    case kK7Close:
      if (hooks_.close) hooks_.close();
      break;
    default:
      break;
  }
}

}  // namespace qarn
