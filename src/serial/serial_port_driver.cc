#include "serial/serial_port_driver.h"

#include <algorithm>

#include "base/port_name.h"

namespace qarn {

uint32_t RxTransferTime(uint32_t count, uint32_t bits_per_second) {
  const uint64_t bps = bits_per_second;
  if (bps == 0) return 0;
  const uint64_t bits = static_cast<uint64_t>(count) * 10000u;
  uint64_t q = bits / bps;
  const uint64_t twice_rest = (bits % bps) * 2;
  if (twice_rest > bps || (twice_rest == bps && (q & 1))) ++q;
  return static_cast<uint32_t>(q);
}

SerialPortDriver::SerialPortDriver(SerialDevice& device, const Clock& clock, MainLoop& loop)
    : device_(device),
      clock_(clock),
      loop_(loop),
      port_name_(ComPort(1).DeviceName()),
      read_buffer_(kStationQueueSize, 0),
      emit_([this](ByteView bytes) { Deliver(bytes); }) {
  PacketFramer::Settings settings;
  settings.packet_size = kStationPacketSize;
  settings.packet_timeout = kStationPacketTimeoutMs;
  settings.pass_partial = true;
  settings.whole_packet_ms = RxTransferTime(kStationPacketSize, LineSettings().bits_per_second);
  framer_.Configure(settings);
}

SerialPortDriver::~SerialPortDriver() { ClosePort(); }

void SerialPortDriver::SetPortName(const std::string& name) {
  if (IsOpen()) return;
  port_name_ = name;
}

bool SerialPortDriver::OpenPort() {
  if (IsOpen()) return true;
  open_error_ = {};
  if (!device_.Open(port_name_)) {
    open_error_ = device_.error();
    if (open_error_.fault == DeviceFault::kNone) open_error_.fault = DeviceFault::kFailed;
    return false;
  }
  if (!ApplyLineSettings()) {
    open_error_ = device_.error();
    open_error_.fault = DeviceFault::kRefused;
    device_.Close();
    return false;
  }
  open_error_ = device_.error();  // the device's path, and no fault
  open_error_.fault = DeviceFault::kNone;
  open_.store(true, std::memory_order_release);
  watch_ =
      loop_.WatchFd(device_.ReadinessFd(), MainLoop::kReadable, [this](unsigned) { OnReadable(); });
  return true;
}

void SerialPortDriver::ClosePort() {
  if (!IsOpen()) return;
  if (watch_) loop_.UnwatchFd(watch_);
  watch_ = 0;
  StopPacketTimer();
  device_.Close();
  open_.store(false, std::memory_order_release);
}

bool SerialPortDriver::ApplyLineSettings() {
  if (!device_.ApplyLineSettings(LineSettings())) return false;
  if (!device_.Purge(true, true)) return false;
  framer_.Reset();
  return device_.SetQueueSizes(kStationQueueSize, kStationQueueSize);
}

uint16_t SerialPortDriver::OutputRoom() {
  uint32_t in_waiting = 0, out_waiting = 0;
  if (IsOpen() && !device_.QueueCounts(&in_waiting, &out_waiting)) out_waiting = 0;
  return static_cast<uint16_t>(kStationQueueSize - out_waiting);
}

void SerialPortDriver::SetDtr(bool on) {
  // A refused change is the device's to report; the driver goes on either way.
  if (IsOpen()) (void)device_.SetDtr(on);
}

size_t SerialPortDriver::Send(ByteView bytes) {
  if (!IsOpen() || bytes.empty()) return 0;
  const uint8_t* data = bytes.data();
  uint32_t remaining = static_cast<uint32_t>(bytes.size());
  uint32_t sent = 0;
  uint32_t t1 = clock_.TickMs();
  // The time-out bounds the time without progress, not the whole send.
  while (remaining > 0) {
    const uint16_t room = OutputRoom();
    if (room > 0) {
      const int32_t written = device_.Write(data, std::min<uint32_t>(room, remaining));
      // A failed write counts as no progress.
      const uint32_t count = written > 0 ? static_cast<uint32_t>(written) : 0;
      if (count > 0) {
        sent += count;
        data += count;
        remaining -= count;
        t1 = clock_.TickMs();
        continue;
      }
    }
    if (clock_.TickMs() - t1 > kStationOutputTimeoutMs) break;
  }
  return sent;
}

void SerialPortDriver::Deliver(ByteView bytes) {
  if (receiver_) receiver_->HandleStationPacket(bytes);
  // A handler that closed the port ends the packets of this arrival.
  if (!IsOpen()) framer_.Reset();
}

void SerialPortDriver::OnReadable() {
  if (!IsOpen()) return;
  // Bounded per wake-up so that a flood does not hold the main thread; the watch is
  // level-triggered and comes back for the rest.
  constexpr int kMaxReadsPerWakeUp = 16;
  const uint32_t size = static_cast<uint32_t>(read_buffer_.size());
  for (int i = 0; i < kMaxReadsPerWakeUp; ++i) {
    const int32_t k = device_.Read(read_buffer_.data(), size);
    if (k < 0) {
      Lose();
      return;
    }
    if (k == 0) break;
    framer_.Feed(ByteView(read_buffer_.data(), static_cast<size_t>(k)), clock_.TickMs(), emit_);
    if (!IsOpen()) return;
    if (static_cast<uint32_t>(k) < size) break;
  }
  ArmPacketTimer();
}
void SerialPortDriver::ArmPacketTimer() {
  const uint32_t now = clock_.TickMs();
  const std::optional<uint32_t> due = framer_.DueIn(now);
  if (!due) {
    StopPacketTimer();
    return;
  }
  // More bytes of the same packet keep the timer as it is.
  if (packet_timer_ && packet_timer_due_ == now + *due) return;
  StopPacketTimer();
  packet_timer_due_ = now + *due;
  packet_timer_ = loop_.StartTimer(static_cast<int>(*due), [this] { OnPacketTimer(); });
}

void SerialPortDriver::StopPacketTimer() {
  if (packet_timer_) loop_.StopTimer(packet_timer_);
  packet_timer_ = 0;
}

void SerialPortDriver::OnPacketTimer() {
  StopPacketTimer();
  if (!IsOpen()) return;
  framer_.Expire(clock_.TickMs(), emit_);
  if (IsOpen()) ArmPacketTimer();
}

void SerialPortDriver::Lose() {
  DeviceError error = device_.error();
  if (error.fault == DeviceFault::kNone) error.fault = DeviceFault::kHungUp;
  ClosePort();
  framer_.Reset();  // the partial packet goes with the port
  if (lost_handler_) lost_handler_(error);
}

}  // namespace qarn
