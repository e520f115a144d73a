// The serial port to the station: owns one port, sets its line, reads it when the main loop
// sees it readable, cuts the received bytes into packets by size and by silence (one
// single-shot timer for the silence), and sends with a time-out on progress. A port that
// fails while open is closed and reported to the lost handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/main_loop.h"
#include "platform/serial_device.h"
#include "serial/packet_framer.h"
#include "serial/station_port.h"

namespace qarn {

// The station's line and framing: 9600 bits per second (LineSettings), packets of at most
// 256 bytes that end by 40 ms of silence, and a send that gives up after 40 ms without
// progress.
inline constexpr uint32_t kStationQueueSize = 2048;
inline constexpr int32_t kStationPacketSize = 256;
inline constexpr int32_t kStationPacketTimeoutMs = 40;
inline constexpr uint32_t kStationOutputTimeoutMs = 40;

class SerialPortDriver final : public StationPort {
 public:
  SerialPortDriver(SerialDevice& device, const Clock& clock, MainLoop& loop);
  ~SerialPortDriver() override;

  SerialPortDriver(const SerialPortDriver&) = delete;
  SerialPortDriver& operator=(const SerialPortDriver&) = delete;

  void SetPortName(const std::string& name) override;
  std::string PortName() const override { return port_name_; }

  bool OpenPort() override;
  void ClosePort() override;
  bool IsOpen() const override { return open_.load(std::memory_order_acquire); }
  DeviceError LastOpenError() const override { return open_error_; }

  size_t Send(ByteView bytes) override;
  void SetDtr(bool on) override;

 private:
  bool ApplyLineSettings();
  uint16_t OutputRoom();
  // Reads what is waiting and frames it.
  void OnReadable();
  void Deliver(ByteView bytes);
  // Arms the single-shot timer for the partial packet's due time, if any.
  void ArmPacketTimer();
  void StopPacketTimer();
  void OnPacketTimer();
  void Lose();

  SerialDevice& device_;
  const Clock& clock_;
  MainLoop& loop_;

  std::string port_name_;
  std::atomic<bool> open_{false};
  std::vector<uint8_t> read_buffer_;
  PacketFramer framer_;
  PacketFramer::Emit emit_;
  MainLoop::Id watch_ = 0;
  MainLoop::Id packet_timer_ = 0;
  uint32_t packet_timer_due_ = 0;  // the tick the armed timer aims at
  DeviceError open_error_;
};

// The time `count` bytes take on the line at 10 bits a byte, to the nearest millisecond,
// halves to the even neighbour.
uint32_t RxTransferTime(uint32_t count, uint32_t bits_per_second);

}  // namespace qarn
