#include "serial/serial_port_driver.h"

#include <algorithm>
#include <cstdlib>

namespace qarn {
namespace {

uint32_t ClampBufSize(uint32_t size) { return std::clamp(size, kMinBufSize, kMaxBufSize); }

}  // namespace

uint32_t BaudRateBitsPerSecond(BaudRate rate) {
  static constexpr uint32_t kRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                        14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  return kRates[static_cast<int>(rate)];
}

SerialPortDriver::SerialPortDriver(SerialDevice& device, const Clock& clock, MainLoop& loop)
    : device_(device),
      clock_(clock),
      loop_(loop),
      read_buffer_(in_buf_size_, 0),
      emit_([this](ByteView bytes) { Deliver(bytes); }) {
  ConfigureFramer();
}

SerialPortDriver::~SerialPortDriver() { ClosePort(); }

void SerialPortDriver::SetPortName(const std::string& name) {
  if (IsOpen()) return;
  port_name_ = name;
  port_ = PortNumber::pnCustom;
}

void SerialPortDriver::SetPort(PortNumber port) {
  if (IsOpen()) return;
  port_ = port;
  if (port != PortNumber::pnCustom) {
    port_name_ = "\\\\.\\COM" + std::to_string(static_cast<int>(port));
  }
}

void SerialPortDriver::SetBaudRate(BaudRate rate) {
  baud_rate_ = rate;
  if (rate != BaudRate::brCustom) baud_rate_value_ = BaudRateBitsPerSecond(rate);
  ConfigureFramer();
  ReapplyIfOpen();
}

void SerialPortDriver::SetBaudRateValue(uint32_t bits_per_second) {
  baud_rate_value_ = bits_per_second;
  baud_rate_ = BaudRate::brCustom;
  ConfigureFramer();
  ReapplyIfOpen();
}

void SerialPortDriver::SetDataBits(DataBits bits) {
  data_bits_ = bits;
  ReapplyIfOpen();
}

void SerialPortDriver::SetStopBits(StopBits bits) {
  stop_bits_ = bits;
  ReapplyIfOpen();
}

void SerialPortDriver::SetParity(Parity parity) {
  parity_ = parity;
  ReapplyIfOpen();
}

void SerialPortDriver::SetHwFlow(HwFlowControl flow) {
  hw_flow_ = flow;
  ReapplyIfOpen();
}

void SerialPortDriver::SetSwFlow(SwFlowControl flow) {
  sw_flow_ = flow;
  ReapplyIfOpen();
}

void SerialPortDriver::SetInBufSize(uint32_t size) {
  if (IsOpen()) return;
  in_buf_size_ = ClampBufSize(size);
  read_buffer_.assign(in_buf_size_, 0);
  SetPacketSize(packet_size_);
}

void SerialPortDriver::SetOutBufSize(uint32_t size) {
  if (IsOpen()) return;
  out_buf_size_ = ClampBufSize(size);
}

void SerialPortDriver::SetPacketSize(int16_t size) {
  if (size <= 0) {
    packet_size_ = -1;
    ConfigureFramer();
    return;
  }
  uint32_t wanted = std::min<uint32_t>(static_cast<uint32_t>(size), kMaxBufSize);
  if (wanted > in_buf_size_) {
    if (IsOpen()) {
      // The read buffer cannot grow while open: a packet never exceeds it.
      wanted = in_buf_size_;
    } else {
      in_buf_size_ = ClampBufSize(wanted);
      read_buffer_.assign(in_buf_size_, 0);
    }
  }
  packet_size_ = static_cast<int16_t>(wanted);
  ConfigureFramer();
}

void SerialPortDriver::SetPacketTimeout(int32_t ms) {
  packet_timeout_ = ms <= 0 ? -1 : ms;
  ConfigureFramer();
}

void SerialPortDriver::SetPacketMode(PacketMode mode) {
  packet_mode_ = mode;
  ConfigureFramer();
}

void SerialPortDriver::SetPollingDelay(uint16_t ms) {
  polling_delay_ = std::max(ms, kMinPollingDelay);
}

void SerialPortDriver::ConfigureFramer() {
  PacketFramer::Settings settings;
  settings.packet_size = packet_size_;
  settings.packet_timeout = packet_timeout_;
  settings.pass_partial = packet_mode_ == PacketMode::pmPass;
  settings.whole_packet_ms =
      packet_size_ > 0 ? RxTransferTime(static_cast<uint32_t>(packet_size_)) : 0;
  framer_.Configure(settings);
  if (IsOpen()) ArmPacketTimer();
}

uint32_t SerialPortDriver::BitsPerSecond() const {
  return baud_rate_ == BaudRate::brCustom ? baud_rate_value_ : BaudRateBitsPerSecond(baud_rate_);
}

uint32_t SerialPortDriver::RxTransferTime(uint32_t count) const {
  const uint64_t bps = BitsPerSecond();
  if (bps == 0) return 0;
  const uint64_t bits = static_cast<uint64_t>(count) * 10000u;
  uint64_t q = bits / bps;
  const uint64_t twice_rest = (bits % bps) * 2;
  if (twice_rest > bps || (twice_rest == bps && (q & 1))) ++q;
  return static_cast<uint32_t>(q);
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
  LineSettings line;
  line.bits_per_second = BitsPerSecond();
  line.data_bits = static_cast<int>(data_bits_) + 5;
  line.parity = parity_;
  line.stop_bits = stop_bits_;
  line.hw_flow = hw_flow_;
  line.sw_flow = sw_flow_;
  line.dtr = enable_dtr_on_open_;
  line.xon_limit = in_buf_size_ / 4;
  line.xoff_limit = in_buf_size_ / 4;
  if (!device_.ApplyLineSettings(line)) return false;
  // The device is open but not yet marked so while opening; purge it directly.
  if (!device_.Purge(true, true)) return false;
  framer_.Reset();
  return device_.SetQueueSizes(in_buf_size_, out_buf_size_);
}

void SerialPortDriver::ReapplyIfOpen() {
  if (IsOpen()) ApplyLineSettings();
}

bool SerialPortDriver::PurgeQueues(bool input, bool output) {
  if (!IsOpen()) return false;
  if (!device_.Purge(input, output)) return false;
  framer_.Reset();
  StopPacketTimer();
  return true;
}

uint16_t SerialPortDriver::OutputRoom() {
  uint32_t in_waiting = 0, out_waiting = 0;
  if (IsOpen() && !device_.QueueCounts(&in_waiting, &out_waiting)) out_waiting = 0;
  return static_cast<uint16_t>(out_buf_size_ - out_waiting);
}

unsigned SerialPortDriver::ModemLines() {
  unsigned lines = 0;
  if (!IsOpen() || !device_.ModemStatus(&lines)) return 0;
  return lines;
}

void SerialPortDriver::SetDtr(bool on) {
  // The line's state is asked by ModemStatus; a refused change shows there, not here.
  if (IsOpen()) (void)device_.SetDtr(on);
}

uint32_t SerialPortDriver::SendTimed(ByteView bytes, uint32_t timeout_ms) {
  if (!IsOpen() || bytes.empty()) return 0;
  const uint8_t* data = bytes.data();
  uint32_t remaining = static_cast<uint32_t>(bytes.size());
  uint32_t sent = 0;
  uint32_t t1 = clock_.TickMs();
  while (remaining > 0) {
    const uint16_t room = OutputRoom();
    if (room > 0) {
      if (check_line_status_ && ModemLines() == 0) break;
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
    if (clock_.TickMs() - t1 > timeout_ms) break;
  }
  return sent;
}

void SerialPortDriver::Deliver(ByteView bytes) {
  if (packet_size_ < 0) {
    if (data_handler_) data_handler_(bytes);
  } else if (packet_handler_) {
    packet_handler_(bytes);
  }
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

void SetStationPortValues(SerialPortDriver& port) {
  port.SetPortName("\\\\.\\COM1");
  port.SetPort(PortNumber::pnCustom);
  port.SetHwFlow(HwFlowControl::hfRTSTOG);
  port.SetPacketSize(256);
  port.SetPacketTimeout(40);
  port.SetPacketMode(PacketMode::pmPass);
  port.SetOutputTimeout(40);
}

}  // namespace qarn
