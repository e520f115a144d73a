// A serial device in memory: the test feeds bytes to its input queue and reads what was
// written; failures can be switched on.
#pragma once

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/serial_device.h"

namespace qarn {

class FakeSerialDevice final : public SerialDevice {
 public:
  bool Open(const std::string& port_name) override {
    if (!openable) {
      last_error = open_error;
      return false;
    }
    opened_name = port_name;
    open = true;
    ++open_count;
    return true;
  }
  void Close() override { open = false; }
  const DeviceError& error() const override { return last_error; }
  int ReadinessFd() const override { return open ? kFd : -1; }
  bool ApplyLineSettings(const LineSettings& settings) override {
    line = settings;
    ++apply_count;
    return accept_settings;
  }
  bool SetQueueSizes(uint32_t in_size, uint32_t out_size) override {
    in_queue_size = in_size;
    out_queue_size = out_size;
    return true;
  }
  bool Purge(bool input, bool output) override {
    if (input) in.clear();
    if (output) out_waiting = 0;
    ++purge_count;
    return true;
  }
  bool QueueCounts(uint32_t* in_waiting, uint32_t* out) override {
    if (fail_io) return false;
    *in_waiting = static_cast<uint32_t>(in.size());
    *out = out_waiting;
    return true;
  }
  int32_t Read(uint8_t* data, uint32_t size) override {
    ++read_calls;
    if (fail_io) {
      last_error = {DeviceFault::kHungUp, opened_name, "the line hung up"};
      return -1;
    }
    uint32_t n = 0;
    while (n < size && !in.empty()) {
      data[n++] = in.front();
      in.pop_front();
    }
    return static_cast<int32_t>(n);
  }
  int32_t Write(const uint8_t* data, uint32_t size) override {
    if (fail_io) return -1;
    uint32_t n = size < write_limit ? size : write_limit;
    written.insert(written.end(), data, data + n);
    return static_cast<int32_t>(n);
  }
  bool SetDtr(bool on) override {
    dtr = on;
    return true;
  }

  void Feed(std::initializer_list<uint8_t> bytes) { in.insert(in.end(), bytes); }
  void Feed(const std::vector<uint8_t>& bytes) { in.insert(in.end(), bytes.begin(), bytes.end()); }

  static constexpr int kFd = 1000;
  bool openable = true;
  DeviceError open_error{DeviceFault::kMissing, "/dev/ttyFAKE", "No such file or directory"};
  DeviceError last_error;
  int read_calls = 0;
  bool accept_settings = true;
  bool fail_io = false;
  bool open = false;
  int open_count = 0;
  int apply_count = 0;
  int purge_count = 0;
  std::string opened_name;
  LineSettings line;
  uint32_t in_queue_size = 0, out_queue_size = 0;
  std::deque<uint8_t> in;
  uint32_t out_waiting = 0;
  uint32_t write_limit = 0xFFFFFFFFu;
  std::vector<uint8_t> written;
  bool dtr = false;
};

}  // namespace qarn
