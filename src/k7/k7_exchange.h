// The driver's exchange with the message server on the K7 link: fixed 555-byte units both
// ways, greetings on every new connection, and the server's commands.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "k7/async_tcp_client.h"
#include "output/event_record.h"
#include "output/links.h"
#include "platform/diag.h"

namespace qarn {

inline constexpr uint16_t kDefaultK7Port = 7788;

// Unit types the driver sends on connecting.
inline constexpr uint8_t kK7Greeting = 20;  // byte 3: kK7GreetingValue
inline constexpr uint8_t kK7GreetingValue = 2;
inline constexpr uint8_t kK7PortGreeting = 50;  // byte 3: the serial port's number
// The server's commands.
inline constexpr uint8_t kK7SetClock = 4;  // the time to set is the record's EventTime
inline constexpr uint8_t kK7RetQuery = 7;
inline constexpr uint8_t kK7Close = 17;

// A unit whose first two bytes are not both kK7Marker is skipped whole.
inline constexpr uint8_t kK7Marker = 0xFF;

K7Frame BuildGreetingUnit();
K7Frame BuildPortGreetingUnit(uint8_t port_number);
// A server unit; `time` goes where command 4 reads it.
K7Frame BuildServerUnit(uint8_t command, TDateTime time = 0);
bool HasK7Marker(const K7Frame& unit);

// The decimal number of a serial device name from its eighth character on: "\\.\COM12"
// gives 12. Empty when that is no number.
std::optional<int> PortNumberFromDeviceName(const std::string& device_name);

// Joins received batches and cuts them into 555-byte units.
class K7UnitBuffer {
 public:
  void Append(ByteView bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
  // The next whole unit, if one is there.
  std::optional<K7Frame> Next();
  void Clear() { bytes_.clear(); }
  size_t size() const { return bytes_.size(); }

 private:
  Bytes bytes_;
};

class K7Exchange final : public K7Channel {
 public:
  struct Settings {
    bool send_k7 = false;  // whether the port greeting is sent
  };

  struct Hooks {
    std::function<void(bool up)> link_changed;  // the K7 link flag
    std::function<void()> advance_indicator;
    std::function<void(TDateTime time)> set_clock;
    std::function<void()> ret_query;
    std::function<void()> close;
    std::function<std::string()> device_name;  // the serial port's "\\.\COMn"
    // Every error of the link; it has already ended the connection.
    std::function<void(int32_t code, const std::string& text)> error;
  };

  // Takes over the client's events.
  K7Exchange(AsyncTcpClient& client, Settings settings, Hooks hooks);

  // Starts an attempt while not connected; one already pending goes on.
  void KeepUp();

  // K7Channel. A unit the connection does not take whole drops the connection, so that the
  // units after it never reach the server shifted.
  bool Connected() const override { return client_.Connected(); }
  size_t SendUnit(ByteView unit) override;

  size_t buffered() const { return buffer_.size(); }

 private:
  void OnK7Connected();
  void OnK7Disconnected();
  void OnK7Read(const Bytes& stream);
  void HandleUnit(const K7Frame& unit);

  AsyncTcpClient& client_;
  Settings settings_;
  Hooks hooks_;
  K7UnitBuffer buffer_;
  FailureReporter port_greeting_failures_{"K7: no port greeting"};
};

}  // namespace qarn
