// A serial port over termios. Port names keep the "\\.\COMn" form; the device path is what
// the owner's port mapping gives for COMn, asked at each open, else /dev/ttyS<n-1>.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/device_holders.h"
#include "platform/diag.h"
#include "platform/serial_device.h"

namespace qarn {

// The processes other than this one that have the device at a path open. A
// pseudo-terminal is never held in this sense: the program that made it keeps it open.
using HolderCheck = std::function<std::vector<DeviceHolder>(const std::string& path)>;
std::vector<DeviceHolder> OtherHoldersOfSerialDevice(const std::string& path);

class TermiosSerialDevice final : public SerialDevice {
 public:
  explicit TermiosSerialDevice(PortMapping mapping = {},
                               HolderCheck holders = OtherHoldersOfSerialDevice);
  ~TermiosSerialDevice() override;

  TermiosSerialDevice(const TermiosSerialDevice&) = delete;
  TermiosSerialDevice& operator=(const TermiosSerialDevice&) = delete;

  bool Open(const std::string& port_name) override;
  void Close() override;
  const DeviceError& error() const override { return error_; }
  int ReadinessFd() const override { return fd_; }
  bool ApplyLineSettings(const LineSettings& settings) override;
  bool SetQueueSizes(uint32_t in_size, uint32_t out_size) override;
  bool Purge(bool input, bool output) override;
  bool QueueCounts(uint32_t* in_waiting, uint32_t* out_waiting) override;
  int32_t Read(uint8_t* data, uint32_t size) override;
  int32_t Write(const uint8_t* data, uint32_t size) override;
  bool SetDtr(bool on) override;

  const std::string& path() const { return path_; }

 private:
  void SetModemBit(int bit, bool on);
  void ReportFailure(const char* operation);
  bool Fail(DeviceFault fault, std::string detail);

  PortMapping mapping_;
  HolderCheck holders_;
  std::string path_;
  DeviceError error_;
  int fd_ = -1;
  bool has_modem_lines_ = false;  // false on a pseudo-terminal
  bool exclusive_ = false;        // TIOCEXCL set, to be cleared at close
  bool rs485_ = false;            // the kernel raises RTS while sending
  bool rts_toggle_ = false;       // we raise RTS around each write
  FailureReporter failure_{"serial port"};
};

}  // namespace qarn
