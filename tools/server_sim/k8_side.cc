#include "server_sim/k8_side.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "base/byte_order.h"
#include "base/tdatetime.h"
#include "k8/k8_wire.h"
#include "platform/diag.h"
#include "server_sim/k8_frame_reader.h"

namespace qarn::sim {
namespace {

std::string DescribePayload(int32_t type, ByteView p) {
  std::ostringstream out;
  const auto event = type == kK8StationEventType ? ParseK8Event(p) : std::nullopt;
  const auto port = type == kK8PortState ? ParsePortStatePayload(p) : std::nullopt;
  const auto version = type == kK8Version ? ParseVersionPayload(p) : std::nullopt;
  const auto first_number = type == kK8FirstNumber ? ParseFirstNumberPayload(p) : std::nullopt;
  const auto hello = type == kK8Hello ? ParseHelloPayload(p) : std::nullopt;
  if (event) {
    const auto time = DecodeDateTime(event->event_time);
    out << " object=" << event->object_number << " code=" << event->code
        << " byte3=" << static_cast<int>(event->frame_byte3)
        << " time=" << (time ? FormatIso(*time) : std::string("invalid"));
  } else if (port) {
    out << " port=" << port->name << " open=" << static_cast<int>(port->open);
  } else if (version) {
    out << " version=" << (*version)[0] << "." << (*version)[1] << "." << (*version)[2] << "."
        << (*version)[3];
  } else if (first_number) {
    out << " first_number=" << static_cast<int>(*first_number);
  } else if (hello) {
    out << " hello=" << *hello;
  } else if (!p.empty()) {
    out << " payload=" << HexDump(p);
  }
  return out.str();
}

int32_t CommandType(const std::string& word) {
  if (word == "query") return kK8Query;
  if (word == "reconnect") return kK8Reconnect;
  if (word == "disconnect") return kK8ServerDisconnect;
  if (word == "denied") return kK8Denied;
  if (word == "pollenable") return kK8PollEnable;
  return 0;
}

constexpr int kReadTimeoutMs = 20;  // how soon a stop or a going down is seen

}  // namespace

std::string DescribeK8Packet(ByteView packet) {
  const auto header = ReadK8PacketHeader(packet);
  if (!header) return "short packet " + HexDump(packet);
  std::string text = K8TypeName(header->type) + " seq=" + std::to_string(header->sequence);
  if (!HasK8Markers(packet)) text += " (markers missing)";
  return text + DescribePayload(header->type, packet.subspan(kK8PacketHeaderSize));
}

const char* K8Side::Usage() {
  return "K8 link (the driver's [ServerHost] Address:Port):\n"
         "  --k8-address A    listen on address A (default 127.0.0.1)\n"
         "  --k8-port N       listen on port N (default 12543)\n"
         "  --no-poll-enable  do not send K8PollEnable after the greeting, so the driver\n"
         "                    never polls\n"
         "  --k8-stall        never answer a frame (the driver counts a network error for\n"
         "                    each and reconnects after 21)\n"
         "  --k8-delay-ms N   answer every frame N ms late (1000 or more: too late)\n"
         "  --k8-quiet-polls  do not print keep-alive polls answered with nothing\n";
}

const char* K8Side::Commands() {
  return "K8 commands (each answers the next frame from the driver instead of the usual\n"
         "reply; with polling on that is within about half a second):\n"
         "  query        K8Query: the driver answers with K8QueryAnswer\n"
         "  retquery     a poll reply with a K8RetQuery sub-packet (data byte 4 = 1): the\n"
         "               driver sends the station the retranslator query\n"
         "  retquery0    the same with data byte 4 = 0: the driver does nothing\n"
         "  reconnect    K8Reconnect: the driver closes and connects again 5 s later\n"
         "  disconnect   K8ServerDisconnect: the driver reports it and reconnects 5 s later\n"
         "  denied       K8Denied: the driver stops connecting until it is restarted\n"
         "  pollenable   K8PollEnable\n"
         "  drop         close the connection now\n"
         "  down         close the connection and refuse new ones (the server is gone)\n"
         "  up           listen again\n"
         "  dropevent    read the next station event, then go down without answering it\n"
         "  stall        stop answering\n"
         "  answer       answer again\n"
         "  delay N      answer N ms late (0: at once)\n"
         "  trickle N    send each reply one byte per N ms (0: at once)\n";
}

bool K8Side::ParseOption(int argc, char** argv, int* i, Options* options, std::string* error) {
  const std::string arg = argv[*i];
  auto value = [&](int* out) {
    if (*i + 1 >= argc) {
      *error = arg + " needs a value";
      return true;
    }
    char* end = nullptr;
    const long v = std::strtol(argv[++*i], &end, 10);
    if (!end || *end || v < 0 || v > 65535 * 1000) *error = arg + ": not a number";
    *out = static_cast<int>(v);
    return true;
  };
  if (arg == "--k8-port") return value(&options->port);
  if (arg == "--k8-delay-ms") return value(&options->delay_ms);
  if (arg == "--k8-address") {
    if (*i + 1 >= argc) {
      *error = arg + " needs a value";
    } else {
      options->address = argv[++*i];
    }
    return true;
  }
  if (arg == "--no-poll-enable") {
    options->poll_enable = false;
    return true;
  }
  if (arg == "--k8-quiet-polls") {
    options->quiet_polls = true;
    return true;
  }
  if (arg == "--k8-stall") {
    options->stall = true;
    return true;
  }
  return false;
}

void K8Side::Say(const std::string& line) const {
  if (!options_.quiet) DiagOutput("K8 " + line);
}

void K8Side::SetResponder(Responder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}

bool K8Side::Start() {
  stall_ = options_.stall;
  delay_ms_ = options_.delay_ms;
  if (const int error = listener_.Listen(options_.address, options_.port); error != 0) {
    DiagError("K8: cannot listen on " + options_.address + ":" + std::to_string(options_.port) +
              ", error " + std::to_string(error));
    return false;
  }
  port_ = listener_.port();
  Say("listening on " + options_.address + ":" + std::to_string(port_));
  thread_ = std::thread([this] { Run(); });
  return true;
}

void K8Side::Stop() {
  {
    std::lock_guard lock(mutex_);  // a thread about to wait sees it
    stop_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void K8Side::GoDown() {
  std::unique_lock lock(mutex_);
  down_ = true;
  if (!thread_.joinable()) return;  // not serving: nothing listens to be closed
  changed_.wait(lock, [&] { return is_down_ || stop_; });
}

bool K8Side::ComeUp() {
  std::unique_lock lock(mutex_);
  down_ = false;
  changed_.notify_all();
  if (!thread_.joinable()) return true;
  // A server that cannot listen again stays down (down_ again), which the caller is told.
  changed_.wait(lock, [&] { return !is_down_ || down_ || stop_; });
  return !is_down_ && !stop_;
}

bool K8Side::WaitUntilDown(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return is_down_; });
}

bool K8Side::HandleCommand(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  in >> word;
  std::lock_guard lock(mutex_);
  if (const int32_t type = CommandType(word)) {
    pending_command_ = type;
  } else if (word == "retquery" || word == "retquery0") {
    pending_ret_query_ = word == "retquery" ? 1 : 0;
  } else if (word == "stall") {
    stall_ = true;
  } else if (word == "answer") {
    stall_ = false;
  } else if (word == "delay") {
    int ms = 0;
    in >> ms;
    delay_ms_ = ms < 0 ? 0 : ms;
  } else if (word == "drop") {
    drop_now_ = true;
  } else if (word == "down" || word == "up") {
    down_ = word == "down";  // the thread closes or opens the listener
    changed_.notify_all();
  } else if (word == "dropevent") {
    drop_after_event_ = true;
  } else if (word == "trickle") {
    int ms = 0;
    in >> ms;
    trickle_ms_ = ms < 0 ? 0 : ms;
  } else {
    return false;
  }
  Say("command taken: " + line);
  return true;
}

void K8Side::Run() {
  int number = 0;
  while (!stop_) {
    if (down_) {
      StayDown();
      continue;
    }
    auto connection = listener_.Accept(kReadTimeoutMs);
    if (!connection) continue;
    const std::string peer = connection->PeerText();
    Say("connection from " + peer);
    ++number;
    if (connection_event_) connection_event_(number, true);
    Serve(*connection, number);
    Say("connection from " + peer + " closed");
    if (connection_event_) connection_event_(number, false);
  }
}

void K8Side::StayDown() {
  // The port stays ours while down: a driver's connection is refused, and nobody else on the
  // machine can take the port meanwhile and be taken for this server.
  if (const int error = listener_.StopListening(); error != 0) {
    Say("cannot stop listening, error " + std::to_string(error) + "; closing");
    listener_.Close();
  }
  Say("down: no connection taken");
  std::unique_lock lock(mutex_);
  is_down_ = true;
  changed_.notify_all();
  changed_.wait(lock, [&] { return !down_ || stop_; });
  if (stop_) return;
  lock.unlock();
  // The same port again; a failure leaves the server down, as the operator then sees.
  const int error = listener_.ListenAgain();
  lock.lock();
  if (error != 0) {
    Say("cannot listen again on port " + std::to_string(port_) + ", error " +
        std::to_string(error));
    down_ = true;
    changed_.notify_all();
    return;
  }
  Say("up: listening on " + options_.address + ":" + std::to_string(port_));
  is_down_ = false;
  changed_.notify_all();
}

void K8Side::Serve(BlockingTcpClient& connection, int number) {
  connection.SetReadTimeout(kReadTimeoutMs);
  while (!stop_ && !down_) {
    {
      std::lock_guard lock(mutex_);
      if (drop_now_) {
        drop_now_ = false;
        return;
      }
    }
    Received r;
    r.connection = number;
    const FrameRead outcome = ReadK8Frame(connection, &r.packet, 1 << 20, &stop_);
    if (outcome == FrameRead::kNothing) continue;
    if (outcome == FrameRead::kClosed || outcome == FrameRead::kStopped) return;
    if (outcome == FrameRead::kBad) {
      Say("invalid frame header: closing");
      return;
    }
    if (r.packet.size() < kK8PacketHeaderSize) {
      Say("frame of " + std::to_string(r.packet.size()) + " bytes, shorter than a packet: closing");
      return;
    }
    r.header = *ReadK8PacketHeader(r.packet);
    r.when = std::chrono::steady_clock::now();
    const int32_t type = r.header.type;
    const std::string received = "<- " + DescribeK8Packet(r.packet);
    if (!options_.quiet_polls || type != kK8Poll || stall_) Say(received);
    if (observer_) observer_(r);
    if (type == kK8StationEventType && drop_after_event_.exchange(false)) {
      Say("going down without answering the event");
      down_ = true;
      return;
    }
    if (stall_) continue;
    const int delay = delay_ms_;
    if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    const std::optional<Bytes> reply = Reply(r);
    if (!reply) continue;
    if (raw_replies_) {
      Say("-> " + std::to_string(reply->size()) + " bytes as they are");
    } else {
      const bool empty_poll_reply = *reply == BuildK8Packet(kK8Poll, Bytes{0}, 0);
      if (options_.quiet_polls && type == kK8Poll && !empty_poll_reply) Say(received);
      if (!options_.quiet_polls || type != kK8Poll || !empty_poll_reply) {
        Say("-> " + DescribeK8Packet(*reply));
      }
    }
    if (!Write(connection, raw_replies_ ? *reply : BuildK8Frame(*reply))) return;
  }
}

bool K8Side::Write(BlockingTcpClient& connection, const Bytes& bytes) {
  const int trickle_ms = trickle_ms_;
  if (trickle_ms <= 0) return connection.WriteAll(bytes) == 0;
  for (const uint8_t byte : bytes) {
    if (stop_ || down_ || connection.WriteAll(ByteView(&byte, 1)) != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(trickle_ms));
  }
  return true;
}

std::optional<Bytes> K8Side::Reply(const Received& received) {
  Responder responder;
  {
    std::lock_guard lock(mutex_);
    responder = responder_;
  }
  if (responder) return responder(received);
  return ReplyTo(received.header.type);
}

Bytes K8Side::ReplyTo(int32_t type) {
  std::lock_guard lock(mutex_);
  if (pending_command_) {
    const int32_t command = pending_command_;
    pending_command_ = 0;
    return BuildK8Packet(command, ByteView(), 0);
  }
  if (type == kK8StationEventType) return BuildK8Packet(kK8EventAck, ByteView(), 0);
  if (type == kK8Version && options_.poll_enable) {
    return BuildK8Packet(kK8PollEnable, ByteView(), 0);
  }
  // Otherwise a poll reply; with no sub-packet it asks nothing of the driver.
  std::vector<K8SubPacket> subs;
  if (type == kK8Poll && pending_ret_query_ >= 0) {
    subs.push_back({kK8RetQuery, Bytes{0, 0, 0, 0, static_cast<uint8_t>(pending_ret_query_)}});
    pending_ret_query_ = -1;
  }
  return BuildK8Packet(kK8Poll, BuildPollReply(subs), 0);
}

}  // namespace qarn::sim
