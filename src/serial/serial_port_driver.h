// The serial port component: owns one port, sets its line, reads it when the main loop sees
// it readable, cuts the received bytes into packets by size and by silence (one single-shot
// timer for the silence), and sends with a time-out on progress. A port that fails while
// open is closed and reported to the lost handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/main_loop.h"
#include "platform/serial_device.h"
#include "serial/packet_framer.h"
#include "serial/station_port.h"

namespace qarn {

enum class PortNumber {
  pnCustom,
  pnCOM1,
  pnCOM2,
  pnCOM3,
  pnCOM4,
  pnCOM5,
  pnCOM6,
  pnCOM7,
  pnCOM8,
  pnCOM9,
  pnCOM10,
  pnCOM11,
  pnCOM12,
  pnCOM13,
  pnCOM14,
  pnCOM15,
  pnCOM16,
};

enum class BaudRate {
  brCustom,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000,
};

enum class DataBits { db5BITS, db6BITS, db7BITS, db8BITS };
enum class PacketMode { pmDiscard, pmPass };

// Bits per second of a named rate; 0 for brCustom.
uint32_t BaudRateBitsPerSecond(BaudRate rate);

inline constexpr uint32_t kMinBufSize = 128;
inline constexpr uint32_t kMaxBufSize = 8192;
inline constexpr uint16_t kMinPollingDelay = 5;

class SerialPortDriver final : public StationPort {
 public:
  SerialPortDriver(SerialDevice& device, const Clock& clock, MainLoop& loop);
  ~SerialPortDriver() override;

  SerialPortDriver(const SerialPortDriver&) = delete;
  SerialPortDriver& operator=(const SerialPortDriver&) = delete;

  // Settings. Those of the port itself and the queue sizes wait while the port is open;
  // the line settings apply at once.
  void SetPortName(const std::string& name) override;
  std::string PortName() const override { return port_name_; }
  void SetPort(PortNumber port);
  PortNumber port() const { return port_; }
  void SetBaudRate(BaudRate rate);
  BaudRate baud_rate() const { return baud_rate_; }
  void SetBaudRateValue(uint32_t bits_per_second);
  uint32_t baud_rate_value() const { return baud_rate_value_; }
  void SetDataBits(DataBits bits);
  DataBits data_bits() const { return data_bits_; }
  void SetStopBits(StopBits bits);
  StopBits stop_bits() const { return stop_bits_; }
  void SetParity(Parity parity);
  Parity parity() const { return parity_; }
  void SetHwFlow(HwFlowControl flow);
  HwFlowControl hw_flow() const { return hw_flow_; }
  void SetSwFlow(SwFlowControl flow);
  SwFlowControl sw_flow() const { return sw_flow_; }
  void SetInBufSize(uint32_t size);
  uint32_t in_buf_size() const { return in_buf_size_; }
  void SetOutBufSize(uint32_t size);
  uint32_t out_buf_size() const { return out_buf_size_; }
  void SetPacketSize(int16_t size);
  int16_t packet_size() const { return packet_size_; }
  void SetPacketTimeout(int32_t ms);
  int32_t packet_timeout() const { return packet_timeout_; }
  void SetPacketMode(PacketMode mode);
  PacketMode packet_mode() const { return packet_mode_; }
  // Kept with its rule for the settings' sake: the port is read on arrival, not polled.
  void SetPollingDelay(uint16_t ms);
  uint16_t polling_delay() const { return polling_delay_; }
  void SetEnableDtrOnOpen(bool on) { enable_dtr_on_open_ = on; }
  bool enable_dtr_on_open() const { return enable_dtr_on_open_; }
  void SetOutputTimeout(uint16_t ms) { output_timeout_ = ms; }
  uint16_t output_timeout() const { return output_timeout_; }
  void SetCheckLineStatus(bool on) { check_line_status_ = on; }
  bool check_line_status() const { return check_line_status_; }

  bool OpenPort() override;
  void ClosePort() override;
  bool IsOpen() const override { return open_.load(std::memory_order_acquire); }
  DeviceError LastOpenError() const override { return open_error_; }

  size_t Send(ByteView bytes) override { return SendTimed(bytes, output_timeout_); }
  uint32_t SendTimed(ByteView bytes, uint32_t timeout_ms);
  void SetDtr(bool on) override;
  unsigned ModemLines();
  bool PurgeQueues(bool input, bool output);
  uint16_t OutputRoom();
  uint32_t RxTransferTime(uint32_t count) const;

  // OnReceivePacket is StationPort's packet handler; OnReceiveData gets everything waiting
  // while packets are off (PacketSize -1). Both point into the read buffer.
  void SetOnReceivePacket(std::function<void(ByteView)> handler) {
    SetPacketHandler(std::move(handler));
  }
  void SetOnReceiveData(std::function<void(ByteView)> handler) {
    data_handler_ = std::move(handler);
  }

  // The device polled readable: reads what is waiting and frames it. Public so that
  // benchmarks can drive it.
  void OnReadable();

  uint32_t first_byte_tick() const { return framer_.first_byte_tick(); }

 private:
  uint32_t BitsPerSecond() const;
  bool ApplyLineSettings();
  void ReapplyIfOpen();
  void ConfigureFramer();
  void Deliver(ByteView bytes);
  // Arms the single-shot timer for the partial packet's due time, if any.
  void ArmPacketTimer();
  void StopPacketTimer();
  void OnPacketTimer();
  void Lose();

  SerialDevice& device_;
  const Clock& clock_;
  MainLoop& loop_;

  std::string port_name_ = "\\\\.\\COM1";
  PortNumber port_ = PortNumber::pnCustom;
  BaudRate baud_rate_ = BaudRate::br9600;
  uint32_t baud_rate_value_ = 9600;
  DataBits data_bits_ = DataBits::db8BITS;
  StopBits stop_bits_ = StopBits::sb1BITS;
  Parity parity_ = Parity::ptNONE;
  HwFlowControl hw_flow_ = HwFlowControl::hfNONERTSON;
  SwFlowControl sw_flow_ = SwFlowControl::sfNONE;
  uint32_t in_buf_size_ = 2048;
  uint32_t out_buf_size_ = 2048;
  int16_t packet_size_ = -1;
  int32_t packet_timeout_ = -1;
  PacketMode packet_mode_ = PacketMode::pmDiscard;
  uint16_t polling_delay_ = 50;
  bool enable_dtr_on_open_ = true;
  uint16_t output_timeout_ = 500;
  bool check_line_status_ = false;

  std::atomic<bool> open_{false};
  std::vector<uint8_t> read_buffer_;
  PacketFramer framer_;
  PacketFramer::Emit emit_;
  MainLoop::Id watch_ = 0;
  MainLoop::Id packet_timer_ = 0;
  uint32_t packet_timer_due_ = 0;  // the tick the armed timer aims at
  DeviceError open_error_;
  std::function<void(ByteView)> data_handler_;
};

// The values the driver gives its port to the station: framing by 40 ms of silence, RTS
// raised only while sending.
void SetStationPortValues(SerialPortDriver& port);

}  // namespace qarn
