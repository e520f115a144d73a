// One serial device as the port driver needs it: exclusive open, line settings, queues,
// non-blocking reads, bounded writes and DTR. Operations a device does not
// support (a pseudo-terminal has no modem lines) do nothing and do not fail.
#pragma once

#include <cstdint>
#include <string>

#include "base/port_name.h"

namespace qarn {

// The station's line: raw 8-bit transfer, 8 data bits, no parity, one stop bit, no XON/XOFF,
// and RTS raised only while bytes are sent.
struct LineSettings {
  uint32_t bits_per_second = 9600;
  bool dtr = true;  // DTR on while open
};

// Why a device did not open, or stopped working while open.
enum class DeviceFault {
  kNone,
  kMissing,       // no such device
  kNoPermission,  // detail: the group that owns the device
  kHeld,          // another program has it; detail: that program, when it can be found
  kNotSerial,     // not a terminal
  kRefused,       // the line settings were refused; detail: the system's text
  kFailed,        // any other failure; detail: the system's text
  kHungUp,        // the line hung up or the device went away while open
};

struct DeviceError {
  DeviceFault fault = DeviceFault::kNone;
  std::string path;    // the device path the name mapped to
  std::string detail;  // see DeviceFault
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Opens the device named `port_name` ("\\.\COM3" or a path) for reading and writing,
  // exclusively. False when it is absent or held by another program; error() says why.
  [[nodiscard]] virtual bool Open(const std::string& port_name) = 0;
  virtual void Close() = 0;
  // The last failure of Open, ApplyLineSettings or Read.
  virtual const DeviceError& error() const = 0;
  // A descriptor that polls readable when bytes arrive or the line hangs up; -1 while closed.
  virtual int ReadinessFd() const = 0;

  // Raw 8-bit transfer with the given values. False when the device rejects them.
  [[nodiscard]] virtual bool ApplyLineSettings(const LineSettings& settings) = 0;
  [[nodiscard]] virtual bool SetQueueSizes(uint32_t in_size, uint32_t out_size) = 0;
  [[nodiscard]] virtual bool Purge(bool input, bool output) = 0;

  // Bytes waiting in the input and the output queue; clears line error conditions.
  [[nodiscard]] virtual bool QueueCounts(uint32_t* in_waiting, uint32_t* out_waiting) = 0;

  // Reads at most `size` bytes that are already waiting; the count, or -1 on failure,
  // a line that has hung up included.
  [[nodiscard]] virtual int32_t Read(uint8_t* data, uint32_t size) = 0;
  // Writes at most `size` bytes, waiting about 10 ms at most; the count, or -1 on failure.
  [[nodiscard]] virtual int32_t Write(const uint8_t* data, uint32_t size) = 0;

  [[nodiscard]] virtual bool SetDtr(bool on) = 0;
};

}  // namespace qarn
