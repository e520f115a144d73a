// The K7 side of the message-server simulator: listens for the driver's K7 connection,
// prints every unit the driver sends, and sends the server's commands when asked.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "k7/k7_exchange.h"
#include "platform/clock.h"
#include "platform/main_loop.h"
#include "platform/tcp_listener.h"

namespace qarn {

// One line for a unit from the driver: greetings, station events, service frames.
std::string DescribeK7Unit(const K7Frame& unit);

// "2011-03-01T12:00:00.000", "2011-03-01 12:00:00" or "2011-03-01T12:00".
std::optional<CivilTime> ParseIsoTime(const std::string& text);

// The help text of the K7 commands that HandleCommand understands.
extern const char* const kK7CommandHelp;

class K7Side {
 public:
  using Print = std::function<void(const std::string& line)>;

  K7Side(MainLoop& loop, const Clock& clock, Print print);
  ~K7Side();

  K7Side(const K7Side&) = delete;
  K7Side& operator=(const K7Side&) = delete;

  // 0 or an error number.
  int Listen(const std::string& address, uint16_t port);
  uint16_t port() const { return listener_.port(); }
  bool connected() const { return connection_ != nullptr; }
  // Called whenever the driver connects.
  void SetOnConnected(std::function<void()> fn) { on_connected_ = std::move(fn); }

  // Sends a server unit; with `first_piece` between 1 and 554 the unit goes in two pieces,
  // the rest `gap_ms` later. Units wait behind a unit still in pieces, so units never mix
  // on the wire. False when no driver is connected.
  bool SendCommand(uint8_t command, TDateTime time = 0, size_t first_piece = 0, int gap_ms = 300);

  // One command line ("clock ...", "query", "close", "cmd N", "split N"). False when the line
  // is no K7 command.
  bool HandleCommand(const std::string& line);

 private:
  void OnListenerReady();
  void OnReadable();
  void Drop(const std::string& why);
  bool SendBytes(ByteView bytes);
  // Sends the queued pieces in order, each after its delay.
  void Pump();

  struct Piece {
    Bytes bytes;
    int delay_ms = 0;
    std::string note;  // printed once sent
  };

  MainLoop& loop_;
  const Clock& clock_;
  Print print_;
  TcpListener listener_;
  MainLoop::Id listener_watch_ = 0;
  std::unique_ptr<TcpSocket> connection_;
  MainLoop::Id connection_watch_ = 0;
  K7UnitBuffer buffer_;
  std::deque<Piece> outgoing_;
  MainLoop::Id pump_timer_ = 0;
  size_t next_split_ = 0;  // set by "split N" for the next command only
  std::function<void()> on_connected_;
};

}  // namespace qarn
