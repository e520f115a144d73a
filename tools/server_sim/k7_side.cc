#include "k7_side.h"

#include <cstdio>
#include <sstream>

#include "base/socket_error.h"
#include "platform/diag.h"

namespace qarn {

const char* const kK7CommandHelp =
    "K7 commands (one per line on standard input):\n"
    "  clock [TIME]  command 4: set the driver's clock to TIME (yyyy-MM-ddTHH:mm:ss[.zzz],\n"
    "                local time; default now). With SetClock=0 the driver only reports it.\n"
    "  query         command 7: the driver asks the station for its retranslators\n"
    "  close         command 17: the driver closes without asking for the password\n"
    "  cmd N         a unit of command N (0..255), for any other command\n"
    "  split N       send the next unit in two pieces: N bytes (1..554), the rest 300 ms later\n";

namespace {

std::string TimeText(TDateTime t) {
  const std::optional<CivilTime> civil = DecodeDateTime(t);
  if (!civil) return "invalid time " + std::to_string(t);
  return FormatIso(*civil);
}

}  // namespace

std::string DescribeK7Unit(const K7Frame& unit) {
  if (!HasK7Marker(unit)) return "K7 unit without FF FF: " + HexDump(unit, 16);
  const uint8_t type = unit[2];
  switch (type) {
    case kK7Greeting:
      return "K7 greeting (type 20, " + std::to_string(unit[3]) + ")";
    case kK7PortGreeting:
      return "K7 port greeting: serial port COM" + std::to_string(unit[3]);
    case kK7StationEvent: {
      const StationEvent e = ParseEventFrame(unit);
      return "K7 event: object " + std::to_string(e.object_number) + ", code " +
             EventCodeText(e.event_code) + ", byte3 " + std::to_string(e.frame_byte3) + ", time " +
             TimeText(e.event_time);
    }
    case kK7RetQuerySent:
      return "K7 service frame 7: retranslator query sent to the station";
    case kK7StationSilent:
      return "K7 service frame 72: the station is silent";
    case kK7StationHeard:
      return "K7 service frame 73: the station is heard again";
    default:
      return "K7 unit of type " + std::to_string(type) + ": " + HexDump(unit, 16);
  }
}

std::optional<CivilTime> ParseIsoTime(const std::string& text) {
  CivilTime t;
  char separator = 0;
  int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d.%3d", &t.year, &t.month, &t.day,
                      &separator, &t.hour, &t.minute, &t.second, &t.millisecond);
  if (n < 6 || (separator != 'T' && separator != ' ')) return std::nullopt;
  if (n < 7) t.second = 0;
  if (n < 8) t.millisecond = 0;
  if (!IsValid(t)) return std::nullopt;
  return t;
}

K7Side::K7Side(MainLoop& loop, const Clock& clock, Print print)
    : loop_(loop), clock_(clock), print_(std::move(print)) {}

K7Side::~K7Side() {
  if (pump_timer_) loop_.StopTimer(pump_timer_);
  if (connection_watch_) loop_.UnwatchFd(connection_watch_);
  if (listener_watch_) loop_.UnwatchFd(listener_watch_);
}

int K7Side::Listen(const std::string& address, uint16_t port) {
  const int error = listener_.Listen(address, port);
  if (error) return error;
  listener_watch_ =
      loop_.WatchFd(listener_.fd(), MainLoop::kReadable, [this](unsigned) { OnListenerReady(); });
  print_("K7: listening on " + address + ":" + std::to_string(listener_.port()));
  return 0;
}

void K7Side::OnListenerReady() {
  std::unique_ptr<TcpSocket> next = listener_.Accept();
  if (!next) return;
  if (connection_) Drop("a new connection replaces it");
  connection_ = std::move(next);
  buffer_.Clear();
  connection_watch_ =
      loop_.WatchFd(connection_->fd(), MainLoop::kReadable, [this](unsigned) { OnReadable(); });
  print_("K7: driver connected");
  if (on_connected_) on_connected_();
}

void K7Side::OnReadable() {
  if (!connection_) return;
  uint8_t bytes[4096];
  int error = 0;
  const long n = connection_->Receive(bytes, sizeof bytes, &error);
  if (n == 0) {
    Drop("closed by the driver");
    return;
  }
  if (n < 0) {
    if (error != kSocketWouldBlock) Drop(std::string("error: ") + SocketErrorText(error));
    return;
  }
  buffer_.Append(ByteView(bytes, static_cast<size_t>(n)));
  while (const std::optional<K7Frame> unit = buffer_.Next()) print_(DescribeK7Unit(*unit));
}

void K7Side::Drop(const std::string& why) {
  if (!connection_) return;
  loop_.UnwatchFd(connection_watch_);
  connection_watch_ = 0;
  connection_.reset();
  outgoing_.clear();
  if (pump_timer_) {
    loop_.StopTimer(pump_timer_);
    pump_timer_ = 0;
  }
  if (buffer_.size()) {
    print_("K7: " + std::to_string(buffer_.size()) + " bytes of an incomplete unit are lost");
  }
  buffer_.Clear();
  print_("K7: connection ended, " + why);
}

bool K7Side::SendBytes(ByteView bytes) {
  if (!connection_) return false;
  int error = 0;
  const long n = connection_->Send(bytes, &error);
  if (n == static_cast<long>(bytes.size())) return true;
  Drop(n < 0 ? std::string("send failed: ") + SocketErrorText(error) : "send cut short");
  return false;
}

bool K7Side::SendCommand(uint8_t command, TDateTime time, size_t first_piece, int gap_ms) {
  if (!connection_) {
    print_("K7: no driver connected; command " + std::to_string(command) + " not sent");
    return false;
  }
  const K7Frame unit = BuildServerUnit(command, time);
  std::string what = "K7: sent command " + std::to_string(command);
  if (command == kK7SetClock) what += " (" + TimeText(time) + ")";
  if (first_piece == 0 || first_piece >= kK7FrameSize) {
    outgoing_.push_back({Bytes(unit.begin(), unit.end()), 0, what});
  } else {
    outgoing_.push_back({Bytes(unit.begin(), unit.begin() + first_piece), 0,
                         what + ": first " + std::to_string(first_piece) + " bytes"});
    outgoing_.push_back(
        {Bytes(unit.begin() + first_piece, unit.end()), gap_ms,
         what + ": remaining " + std::to_string(kK7FrameSize - first_piece) + " bytes"});
  }
  Pump();
  return true;
}

void K7Side::Pump() {
  while (!outgoing_.empty() && !pump_timer_) {
    Piece& next = outgoing_.front();
    if (next.delay_ms > 0) {
      const int delay = next.delay_ms;
      next.delay_ms = 0;
      pump_timer_ = loop_.StartTimer(delay, [this] {
        loop_.StopTimer(pump_timer_);
        pump_timer_ = 0;
        Pump();
      });
      return;
    }
    const Piece piece = std::move(next);
    outgoing_.pop_front();
    if (!SendBytes(piece.bytes)) return;
    print_(piece.note);
  }
}

bool K7Side::HandleCommand(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  in >> word;
  std::string rest;
  std::getline(in >> std::ws, rest);
  const size_t split = next_split_;
  if (word == "split") {
    const int n = std::atoi(rest.c_str());
    if (n < 1 || n > 554) {
      print_("K7: split takes a byte count 1..554");
    } else {
      next_split_ = static_cast<size_t>(n);
    }
    return true;
  }
  uint8_t command;
  TDateTime time = 0;
  if (word == "clock") {
    CivilTime t = clock_.LocalNow();
    if (!rest.empty()) {
      const std::optional<CivilTime> parsed = ParseIsoTime(rest);
      if (!parsed) {
        print_("K7: not a time: " + rest + " (yyyy-MM-ddTHH:mm:ss[.zzz])");
        return true;
      }
      t = *parsed;
    }
    command = kK7SetClock;
    time = EncodeDateTime(t);
  } else if (word == "query") {
    command = kK7RetQuery;
  } else if (word == "close") {
    command = kK7Close;
  } else if (word == "cmd") {
    const int n = std::atoi(rest.c_str());
    if (rest.empty() || n < 0 || n > 255) {
      print_("K7: cmd takes a command number 0..255");
      return true;
    }
    command = static_cast<uint8_t>(n);
  } else {
    return false;
  }
  next_split_ = 0;
  SendCommand(command, time, split);
  return true;
}

}  // namespace qarn
