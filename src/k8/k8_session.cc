#include "k8/k8_session.h"

#include "base/version.h"
#include "k8/k8_wire.h"

namespace qarn {

void K8Session::Start(uint32_t now) {
  denial_reported_ = false;
  last_poll_tick_ = now;
  network_errors_ = 0;
  last_attempt_tick_ = 0;
  access_ = true;
  poll_enabled_ = false;
}

K8Order K8Session::Next(uint32_t now) {
  K8Order order;
  if (stopped_) {
    order.kind = K8Order::kFinish;
    return order;
  }
  if (!link_) {
    if (!access_) {
      if (!denial_reported_) {
        denial_reported_ = true;
        Status("Доступ запрещен.");
      }
      return order;  // idles until stopped
    }
    if (now - last_attempt_tick_ > timing_.reconnect_pause_ms) {
      Emit(K8Effect::kActivity);
      Status("Соединение...");
      last_attempt_tick_ = now;
      poll_enabled_ = false;
      order.kind = K8Order::kConnect;
      return order;
    }
    order.timed = true;
    order.until = last_attempt_tick_ + timing_.reconnect_pause_ms + 1;
    return order;
  }

  if (network_errors_ > timing_.network_error_limit) {
    network_errors_ = 0;
    Status("Ошибки по сети - переподсоединение.");
    // The next attempt keeps the pause counted from the last one; the old connection is
    // closed when it begins.
    const uint32_t last_attempt = last_attempt_tick_;
    Drop(now, "too many network errors", false);
    last_attempt_tick_ = last_attempt;
    return Next(now);
  }
  if (!probing_ && choice_.ProbeDue(now)) {
    probing_ = true;
    order.kind = K8Order::kProbe;
    return order;
  }
  RingEntry head;
  if (ring_.Peek(&head)) {
    order.kind = K8Order::kExchange;
    order.frame = BuildK8Frame(head.packet);
    in_flight_ = std::move(head);
    from_ring_ = true;
    awaiting_reply_ = true;
    read_due_ = false;
    return order;
  }
  if (poll_enabled_ && now - last_poll_tick_ > timing_.poll_period_ms) {
    last_poll_tick_ = now;
    order.kind = K8Order::kExchange;
    order.frame = BuildK8Frame(BuildK8Packet(kK8Poll, ByteView(), 0));
    awaiting_reply_ = true;
    read_due_ = false;
    return order;
  }
  if (read_due_) {
    read_due_ = false;
    order.kind = K8Order::kExchange;  // nothing to write: only the reply is read
    awaiting_reply_ = true;
    return order;
  }
  if (poll_enabled_) {
    order.timed = true;
    order.until = last_poll_tick_ + timing_.poll_period_ms + 1;
  }
  if (choice_.next() == Server::kBackup && !probing_) {
    const uint32_t until = choice_.probe_at();  // wakes for the next try of the primary
    if (!order.timed || static_cast<int32_t>(until - order.until) < 0) order.until = until;
    order.timed = true;
  }
  return order;
}

void K8Session::QueueGreeting(const K8Greeting& greeting) {
  Queue(kK8Hello, BuildHelloPayload());
  read_due_ = true;
  Queue(kK8PortState, BuildPortStatePayload(greeting.port_name, greeting.port_open));
  Queue(kK8FirstNumber, BuildFirstNumberPayload(greeting.first_number));
  Queue(kK8Version, BuildVersionPayload(kVersionText));
}

bool K8Session::OnConnected(uint32_t now, const K8Greeting& greeting) {
  // The greeting is queued before the link shows up, so that nothing else can go between
  // the packets left from the last connection and the greeting.
  QueueGreeting(greeting);
  link_ = true;
  answered_ = false;
  Status("Соединение установлено.");
  Emit(K8Effect::kActivity);
  return choice_.Connected(now);
}

void K8Session::OnConnectFailed(uint32_t) {
  link_ = false;
  choice_.AttemptFailed();
}

void K8Session::OnProbeEnded(uint32_t now, bool accepted, const K8Greeting& greeting) {
  probing_ = false;
  if (!accepted || !TakesProbe()) {
    choice_.ProbeFailed(now);
    return;
  }
  // Between two exchanges: nothing is in flight on the backup, and what waits in the ring
  // goes to the primary after its greeting.
  choice_.ProbeAccepted(now);
  network_errors_ = 0;
  poll_enabled_ = false;
  answered_ = false;
  QueueGreeting(greeting);
  Status("Соединение установлено.");
  Emit(K8Effect::kActivity);
}

void K8Session::OnWritten() {
  if (!from_ring_) return;
  from_ring_ = false;
  ring_.Drop();
}

void K8Session::OnWriteFailed(uint32_t now, const std::string& why) {
  // The packet stays at the head of the ring and goes first on the next connection.
  from_ring_ = false;
  in_flight_.reset();
  awaiting_reply_ = false;
  ++network_errors_;
  Drop(now, why);
}

void K8Session::OnReply(uint32_t now, ByteView packet) {
  awaiting_reply_ = false;
  answered_ = true;
  HandleReply(now, packet);
}

void K8Session::OnReplyFailed(uint32_t now, K8ReplyFailure why) {
  awaiting_reply_ = false;
  ++network_errors_;
  EndInFlight(K8Effect::kReleased);
  // A late or half-read reply would be taken for the answer to the next packet, and its
  // acknowledgement could delete a file whose packet the server never saw: the stream
  // cannot be followed past it, so the connection goes.
  static const char* const kWhy[] = {"no reply in time", "the server closed the connection",
                                     "a reply frame without its marker or size",
                                     "a reply too large to take"};
  Drop(now, kWhy[static_cast<int>(why)]);
}

void K8Session::Stop(const std::string& time_text) {
  if (stopped_) return;
  stopped_ = true;
  from_ring_ = false;
  awaiting_reply_ = false;
  EndInFlight(K8Effect::kReleased);
  if (link_) Emit(K8Effect::kClose);
  link_ = false;
  Status("выход - " + time_text);
}

void K8Session::EndInFlight(K8Effect::Kind end) {
  if (!in_flight_) return;
  if (!in_flight_->spool_file.empty()) Emit(end, in_flight_->spool_file);
  in_flight_.reset();
}

void K8Session::Drop(uint32_t now, const std::string& why, bool close) {
  if (!link_) return;
  link_ = false;
  choice_.Lost(answered_);
  last_attempt_tick_ = now;
  if (close) Emit(K8Effect::kClose);
  Emit(K8Effect::kLinkDown, why);
  Emit(K8Effect::kActivity);
}

void K8Session::HandleReply(uint32_t now, ByteView reply) {
  if (!HasK8Markers(reply)) {
    EndInFlight(K8Effect::kRefused);
    return;
  }
  Emit(K8Effect::kActivity);
  const K8PacketHeader header = *ReadK8PacketHeader(reply);
  const ByteView payload = header.length != 0 ? reply.subspan(kK8PacketHeaderSize) : ByteView();
  // Only the acknowledgement that answers a packet releases that packet's file. The commands
  // that end the connection say nothing of the packet; any other answer refuses it.
  switch (header.type) {
    case kK8EventAck:
      EndInFlight(K8Effect::kAcked);
      break;
    case kK8Reconnect:
    case kK8ServerDisconnect:
    case kK8Denied:
      EndInFlight(K8Effect::kReleased);
      break;
    default:
      EndInFlight(K8Effect::kRefused);
  }
  switch (header.type) {
    case kK8PollEnable:
      poll_enabled_ = true;
      break;
    case kK8EventAck:
      break;
    case kK8Query:
      Queue(kK8QueryAnswer, ByteView());
      break;
    case kK8Poll:
      if (PollReplyRequestsRetQuery(payload)) Emit(K8Effect::kRetQuery);
      break;
    case kK8Reconnect:
      Drop(now, "the server asked to reconnect");
      break;
    case kK8ServerDisconnect:
      network_errors_ = 0;
      // Closed only when the next attempt begins, more than a pause later.
      Drop(now, "the server ordered the disconnection", false);
      Status("Сервер дал команду на рассоединение.");
      break;
    case kK8Denied:
      access_ = false;
      Drop(now, "the server denied access");
      break;
  }
}

}  // namespace qarn
