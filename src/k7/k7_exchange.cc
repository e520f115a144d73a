#include "k7/k7_exchange.h"

#include <algorithm>
#include <cstring>

#include "base/byte_order.h"
#include "base/port_name.h"

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

void K7UnitBuffer::Append(ByteView bytes) {
  if (start_ > 0) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

std::optional<K7Frame> K7UnitBuffer::Next() {
  if (size() < kK7FrameSize) return std::nullopt;
  K7Frame unit;
  std::memcpy(unit.data(), bytes_.data() + start_, kK7FrameSize);
  start_ += kK7FrameSize;
  if (start_ == bytes_.size()) Clear();
  return unit;
}

K7Exchange::K7Exchange(K7Client& client, const Clock& clock, Settings settings, Listener& listener)
    : client_(&client), clock_(clock), settings_(settings), listener_(listener) {
  Attach();
}

K7Exchange::~K7Exchange() { Detach(); }

void K7Exchange::Attach() {
  client_->SetOnConnected([this](K7Client&) { OnK7Connected(); });
  client_->SetOnClosing([this](K7Client&) { OnK7Closing(); });
  client_->SetOnDisconnected([this](K7Client&) { OnK7Disconnected(); });
  client_->SetOnRead([this](K7Client&, const Bytes& stream) { OnK7Read(stream); });
  // Every error ends the connection and the next housekeeping tick reconnects; the
  // indicator shows it.
  client_->SetOnError([this](K7Client&, int32_t, int32_t code, const std::string& text) {
    listener_.Error(code, text);
  });
}

void K7Exchange::Detach() {
  // The client may outlive the exchange: it must not call back into it.
  client_->SetOnConnected(nullptr);
  client_->SetOnClosing(nullptr);
  client_->SetOnDisconnected(nullptr);
  client_->SetOnRead(nullptr);
  client_->SetOnError(nullptr);
}

void K7Exchange::Adopt(K7Client& client) {
  client_->SetConnected(false);  // what the old peer did not acknowledge is released
  Detach();
  client_ = &client;
  Attach();
  if (client_->Connected()) OnK7Connected();
}

std::string K7Exchange::Peer() const {
  return client_->Host() + ":" + std::to_string(client_->Port());
}

void K7Exchange::KeepUp() {
  if (!client_->Connected()) {
    client_->SetConnected(true);
    return;
  }
  WatchProgress();
}

void K7Exchange::Report(const std::vector<std::string>& files, PacketEnd end) {
  for (const std::string& file : files) listener_.UnitEnded(file, end);
}

void K7Exchange::CollectAcknowledged() {
  if (!client_->Connected() || window_.empty()) return;
  Report(window_.Acknowledged(client_->Unacknowledged()), PacketEnd::kAcknowledged);
}

void K7Exchange::WatchProgress() {
  const long waiting = client_->Unacknowledged();
  if (waiting < 0) return;
  const uint64_t acknowledged = window_.AcknowledgedBytes(waiting);
  Report(window_.Acknowledged(waiting), PacketEnd::kAcknowledged);
  if (!stall_.Stalled(clock_.TickMs(), acknowledged, static_cast<uint64_t>(waiting))) {
    if (waiting == 0) stall_failures_.Succeeded();
    return;
  }
  stall_failures_.Failed(Peer() + " has taken nothing for 30 s with " + std::to_string(waiting) +
                         " bytes waiting; connection dropped");
  dropped_stalled_ = true;
  client_->SetConnected(false);
}

void K7Exchange::Close(int drain_ms) {
  if (client_->Connected() && !window_.empty()) client_->WaitUntilAcknowledged(drain_ms);
  client_->SetConnected(false);  // reports what was delivered and releases the rest
}

size_t K7Exchange::Send(ByteView unit, const std::string* spool_file) {
  if (!client_->Connected()) return 0;
  if (window_.full()) {
    Report(window_.Acknowledged(client_->Unacknowledged()), PacketEnd::kAcknowledged);
    if (window_.full()) return 0;
  }
  const int32_t taken = client_->SendStream(unit);
  // A failed send has already closed the connection, giving the window back.
  if (taken <= 0) return 0;
  const size_t count = static_cast<size_t>(taken);
  if (spool_file && count == kK7FrameSize && unit.size() == kK7FrameSize) {
    K7Frame frame;
    std::memcpy(frame.data(), unit.data(), kK7FrameSize);
    window_.Took(frame, *spool_file);
  } else {
    window_.TookBytes(count);
  }
  if (count != unit.size()) client_->SetConnected(false);
  return count;
}

void K7Exchange::OnK7Connected() {
  // Bytes left by an earlier connection would misalign every unit of this one.
  buffer_.Clear();
  stall_.Reset();
  dropped_stalled_ = false;
  listener_.LinkChanged(true);
  // Greetings belong to their connection: they are never spooled again.
  if (Send(BuildGreetingUnit(), nullptr) != kK7FrameSize) return;
  if (!settings_.send_k7) return;
  const std::string device = listener_.DeviceName();
  const std::optional<ComPort> port = ComPort::ParseDevice(device);
  if (!port) {
    port_greeting_failures_.Failed("the serial port name \"" + device + "\" has no number");
    return;
  }
  port_greeting_failures_.Succeeded();
  // One byte: COM255, no port, greets as 255.
  Send(BuildPortGreetingUnit(static_cast<uint8_t>(port->number())), nullptr);
}

void K7Exchange::OnK7Closing() {
  // Before the link reports itself down: what the peer has is delivered, the rest goes again.
  const long unacknowledged = client_->Unacknowledged();
  Report(window_.Acknowledged(unacknowledged), PacketEnd::kAcknowledged);
  std::vector<std::string> released;
  for (K7SendWindow::Sent& sent : window_.TakeUnacknowledged(unacknowledged)) {
    // A unit without a file is held in memory until the disk takes it; it goes again then.
    if (!sent.file.empty()) released.push_back(std::move(sent.file));
  }
  if (released.empty()) return;
  DiagError("K7: " + std::to_string(released.size()) + " units not acknowledged by " + Peer() +
            "; they go again from their .ddk files");
  Report(released, PacketEnd::kReleased);
}

void K7Exchange::OnK7Disconnected() { listener_.LinkChanged(false); }

void K7Exchange::OnK7Read(const Bytes& stream) {
  buffer_.Append(stream);
  // Every unit of the batch is handled, also those after a close order.
  while (const std::optional<K7Frame> unit = buffer_.Next()) HandleUnit(*unit);
}

void K7Exchange::HandleUnit(const K7Frame& unit) {
  if (!HasK7Marker(unit)) return;
  listener_.UnitReceived();
  switch (unit[2]) {
    case kK7SetClock:
      listener_.SetClock(K7FrameTime(unit));
      break;
    case kK7RetQuery:
      listener_.RetQuery();
      break;
    case kK7Close:
      listener_.Close();
      break;
    default:
      break;
  }
}

}  // namespace qarn
