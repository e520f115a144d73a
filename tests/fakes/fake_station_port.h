// A serial port that records what is sent and lets the test play received packets.
#pragma once

#include <functional>
#include <vector>

#include "serial/station_port.h"

namespace qarn::testing {

// Hands every packet a port receives to a function.
class PacketCalls final : public PacketReceiver {
 public:
  explicit PacketCalls(std::function<void(ByteView)> fn) : fn_(std::move(fn)) {}
  void HandleStationPacket(ByteView packet) override { fn_(packet); }

 private:
  std::function<void(ByteView)> fn_;
};

class FakeStationPort final : public StationPort {
 public:
  bool can_open = true;
  // When set, decides by device name which ports open (and can_open is ignored).
  std::function<bool(const std::string& name)> opens;
  std::vector<std::string> opened;  // device names of successful opens
  bool dtr = false;
  int close_calls = 0;
  int open_attempts = 0;
  std::vector<Bytes> sent;
  DeviceError open_error{DeviceFault::kHeld, "/dev/ttyS2", "minicom (pid 812)"};

  void SetPortName(const std::string& name) override {
    if (!open_) name_ = name;
  }
  std::string PortName() const override { return name_; }
  bool OpenPort() override {
    ++open_attempts;
    if (opens ? !opens(name_) : !can_open) return false;
    open_ = true;
    opened.push_back(name_);
    return true;
  }
  void ClosePort() override {
    ++close_calls;
    open_ = false;
  }
  bool IsOpen() const override { return open_; }
  DeviceError LastOpenError() const override { return open_error; }
  size_t Send(ByteView bytes) override {
    if (!open_) return 0;
    sent.emplace_back(bytes.begin(), bytes.end());
    return bytes.size();
  }
  void SetDtr(bool on) override { dtr = on; }

  void Receive(const Bytes& packet) {
    if (receiver_) receiver_->HandleStationPacket(packet);
  }
  // The open device fails: the port closes itself and says so.
  void Lose(const DeviceError& error) {
    open_ = false;
    if (lost_handler_) lost_handler_(error);
  }

 private:
  std::string name_ = "\\\\.\\COM1";
  bool open_ = false;
};

}  // namespace qarn::testing
