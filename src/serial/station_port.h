// What the driver needs of the serial port to the station.
#pragma once

#include <functional>
#include <string>

#include "base/bytes.h"
#include "platform/serial_device.h"

namespace qarn {

// Takes every packet the port receives, on the main thread.
class PacketReceiver {
 public:
  virtual ~PacketReceiver() = default;
  virtual void HandleStationPacket(ByteView packet) = 0;
};

class StationPort {
 public:
  virtual ~StationPort() = default;

  // The device name, "\\.\COMn"; ignored while the port is open.
  virtual void SetPortName(const std::string& name) = 0;
  virtual std::string PortName() const = 0;

  virtual bool OpenPort() = 0;
  virtual void ClosePort() = 0;
  // Safe from any thread.
  virtual bool IsOpen() const = 0;
  // Bytes written; nothing while the port is closed.
  virtual size_t Send(ByteView bytes) = 0;
  virtual void SetDtr(bool on) = 0;
  // The outcome of the last OpenPort: the device path, and why it failed.
  virtual DeviceError LastOpenError() const { return {}; }

  // Where every received packet goes; null: nowhere.
  void SetReceiver(PacketReceiver* receiver) { receiver_ = receiver; }
  // The open port failed (read error, hang-up, device removed) and is closed now.
  void SetLostHandler(std::function<void(const DeviceError&)> handler) {
    lost_handler_ = std::move(handler);
  }

 protected:
  PacketReceiver* receiver_ = nullptr;
  std::function<void(const DeviceError&)> lost_handler_;
};

// A port that never opens: the driver's stand-in where no serial device can be used.
class NoStationPort final : public StationPort {
 public:
  void SetPortName(const std::string& name) override { name_ = name; }
  std::string PortName() const override { return name_; }
  bool OpenPort() override { return false; }
  DeviceError LastOpenError() const override {
    return {DeviceFault::kFailed, name_, "no serial devices here"};
  }
  void ClosePort() override {}
  bool IsOpen() const override { return false; }
  size_t Send(ByteView) override { return 0; }
  void SetDtr(bool) override {}

 private:
  std::string name_ = "\\\\.\\COM1";
};

}  // namespace qarn
