// The driver's exchange with the message server on the K7 link: fixed 555-byte units both
// ways, greetings on every new connection, and the server's commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "k7/k7_send_window.h"
#include "k7/k7_stall_watch.h"
#include "output/event_record.h"
#include "output/links.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/k7_client.h"

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

// Joins received batches and cuts them into 555-byte units. Units are read in place; the
// remainder moves to the front once per batch, so a burst of any size is cut in linear time.
class K7UnitBuffer {
 public:
  void Append(ByteView bytes);
  // The next whole unit, if one is there.
  std::optional<K7Frame> Next();
  void Clear() {
    bytes_.clear();
    start_ = 0;
  }
  size_t size() const { return bytes_.size() - start_; }

 private:
  Bytes bytes_;
  size_t start_ = 0;  // where the next unit begins
};

// At exit the socket gets this long to deliver what it holds before the rest is spooled.
inline constexpr int kK7DrainMs = 2000;

class K7Exchange final : public K7Channel {
 public:
  struct Settings {
    bool send_k7 = false;  // whether the port greeting is sent
  };

  // What the exchange tells of the link and of the server's units, on the main thread.
  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void LinkChanged(bool up) { (void)up; }
    // A unit of the server's (the indicator moves).
    virtual void UnitReceived() {}
    // The server's commands.
    virtual void SetClock(TDateTime time) { (void)time; }
    virtual void RetQuery() {}
    virtual void Close() {}
    // The serial port's "\\.\COMn", for the port greeting.
    virtual std::string DeviceName() { return std::string(); }
    // Every error of the link; it has already ended the connection.
    virtual void Error(int32_t code, const std::string& text) { (void)code, (void)text; }
    // The peer's TCP has acknowledged the unit of `spool_file` (delivered), or the
    // connection ended before it did (released: the file is to be sent again).
    virtual void UnitEnded(const std::string& spool_file, PacketEnd end) {
      (void)spool_file, (void)end;
    }
  };

  // Takes over the client's events; `clock` times a stalled server.
  K7Exchange(K7Client& client, const Clock& clock, Settings settings, Listener& listener);
  ~K7Exchange() override;

  // Starts an attempt while not connected; one already pending goes on. While connected,
  // drops a server that has taken nothing for 30 s while units wait for it.
  void KeepUp();
  // Reports the units the peer's TCP has acknowledged since the last look.
  void CollectAcknowledged();
  // The close at exit: the socket gets `drain_ms` to deliver what it holds, what the peer
  // has still not acknowledged then is released, and the connection is closed in order.
  void Close(int drain_ms = kK7DrainMs);
  // Moves to `client`, which may already be connected (then greeted at once): the current
  // connection is closed first, what its peer had not acknowledged released.
  void Adopt(K7Client& client);

  // K7Channel. A unit the connection does not take whole drops the connection, so that the
  // units after it never reach the server shifted. While the window of units waiting for the
  // peer is full, nothing is sent (0): the caller keeps the unit.
  bool Connected() const override { return client_->Connected(); }
  size_t SendUnit(ByteView unit, const std::string& spool_file) override {
    return Send(unit, &spool_file);
  }

  size_t buffered() const { return buffer_.size(); }
  // Whether the last connection was dropped for a server that took nothing.
  bool dropped_stalled() const { return dropped_stalled_; }
  // Records sent and not yet acknowledged by the peer's TCP.
  size_t in_flight() const { return window_.size(); }

 private:
  // A record with its spool file, or (null) a greeting.
  size_t Send(ByteView unit, const std::string* spool_file);
  void Attach();
  void Detach();
  void Report(const std::vector<std::string>& files, PacketEnd end);
  void OnK7Connected();
  void OnK7Closing();
  void OnK7Disconnected();
  void OnK7Read(const Bytes& stream);
  void HandleUnit(const K7Frame& unit);
  void WatchProgress();
  std::string Peer() const;

  K7Client* client_;
  const Clock& clock_;
  Settings settings_;
  Listener& listener_;
  K7UnitBuffer buffer_;
  K7SendWindow window_;
  K7StallWatch stall_;
  bool dropped_stalled_ = false;
  FailureReporter port_greeting_failures_{"K7: no port greeting"};
  FailureReporter stall_failures_{"K7: server stalled"};
};

}  // namespace qarn
