#include "k8/k8_link.h"

#include <chrono>
#include <exception>

#include "base/socket_error.h"
#include "k8/k8_wire.h"
#include "k8/server_host.h"
#include "platform/ini_load.h"

namespace qarn {
namespace {

// A size the link will not take: the stream cannot be followed past such a reply.
constexpr int32_t kMaxReplySize = 1 << 20;
constexpr int kClientReadTimeoutMs = 3000;
// How often a wait on the main thread looks at the stop request.
constexpr auto kStopCheck = std::chrono::milliseconds(20);

std::string SocketErrorWords(int error) {
  switch (error) {
    case kSocketRefused:
      return "connection refused";
    case kSocketTimedOut:
      return "timed out";
    case kSocketReset:
      return "connection reset by the server";
    case kSocketHostNotFound:
      return "host not found";
    case kSocketNotConnected:
      return "not connected";
    case kSocketInterrupted:
      return "stopped";
  }
  return "error " + std::to_string(error);
}

}  // namespace

void K8Link::Outbox::Drain() {
  for (;;) {
    Call call;
    {
      std::lock_guard lock(mutex);
      if (calls.empty()) return;
      call = std::move(calls.front());
      calls.pop_front();
    }
    call(*this);
  }
}

K8Link::K8Link(Services services, std::string ini_path, K8LinkTiming timing)
    : s_(std::move(services)),
      outbox_(std::make_shared<Outbox>(s_)),
      ini_path_(std::move(ini_path)),
      timing_(timing),
      session_(ring_, timing) {
  thread_ = std::thread([this] { Run(); });
}

K8Link::~K8Link() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

bool K8Link::QueuePacket(int32_t type, ByteView payload, const std::string& spool_file) {
  const bool taken = ring_.QueuePacket(type, payload, spool_file);
  {
    std::lock_guard lock(wake_mutex_);
    wake_ = true;
  }
  wake_cv_.notify_one();
  return taken;
}

void K8Link::RequestStop() {
  {
    std::lock_guard lock(wake_mutex_);
    stop_.store(true);
  }
  wake_cv_.notify_all();
}

void K8Link::StopAndWait() {
  RequestStop();
  // The loop may refuse to run (the application is quitting); the thread ends regardless.
  s_.loop.RunUntil([this] { return finished(); });
  if (thread_.joinable()) thread_.join();
  outbox_->Drain();
}

void K8Link::ToMain(Outbox::Call call) {
  bool first;
  {
    std::lock_guard lock(outbox_->mutex);
    first = outbox_->calls.empty();
    outbox_->calls.push_back(std::move(call));
  }
  if (!first) return;  // a drain is on its way
  s_.loop.Post([weak = std::weak_ptr<Outbox>(outbox_)] {
    if (auto outbox = weak.lock()) outbox->Drain();
  });
}

K8Greeting K8Link::AskGreeting() {
  struct Answer {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<K8Greeting> values;
  };
  auto answer = std::make_shared<Answer>();
  ToMain([answer](Outbox& main) {
    const PortGreeting port = main.host.Greeting();
    K8Greeting values{port.port_name, port.port_open, port.first_number};
    std::lock_guard lock(answer->mutex);
    answer->values = std::move(values);
    answer->cv.notify_all();
  });
  std::unique_lock lock(answer->mutex);
  while (!answer->values && !stop_.load()) answer->cv.wait_for(lock, kStopCheck);
  return answer->values.value_or(K8Greeting{});
}

void K8Link::Run() {
  session_.Start(s_.clock.TickMs());
  for (;;) {
    steps_.fetch_add(1, std::memory_order_relaxed);
    try {
      if (probe_done_.load()) EndProbe();
      if (stop_.load()) session_.Stop(FormatTimeWithMs(s_.clock.LocalNow()));
      K8Order order = session_.Next(s_.clock.TickMs());
      CarryEffects();
      if (order.kind == K8Order::kFinish) break;
      Carry(order);
      step_failures_.Succeeded();
    } catch (const std::exception& e) {
      // The rest of the driver counts on this thread: report, pause and carry on.
      step_failures_.Failed(e.what());
      std::unique_lock lock(wake_mutex_);
      wake_cv_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stop_.load(); });
    }
  }
  if (probe_thread_.joinable()) probe_thread_.join();  // cancelled by the stop request
  probe_client_.reset();
  client_.reset();
  SetLink(false);
  finished_.store(true);
}

void K8Link::Carry(K8Order& order) {
  switch (order.kind) {
    case K8Order::kConnect:
      Connect();
      break;
    case K8Order::kExchange:
      Exchange(order.frame);
      break;
    case K8Order::kWait:
      Wait(order);
      break;
    case K8Order::kProbe:
      StartProbe();
      break;
    case K8Order::kFinish:
      break;
  }
  CarryEffects();
}

void K8Link::CarryEffects() {
  for (K8Effect& e : session_.TakeEffects()) {
    switch (e.kind) {
      case K8Effect::kStatus:
        ToMain([text = std::move(e.text)](Outbox& main) { main.observer.LogLine(text); });
        break;
      case K8Effect::kActivity:
        ToMain([](Outbox& main) { main.observer.Activity(Indicator::kK8); });
        break;
      case K8Effect::kClose:
        client_.reset();
        break;
      case K8Effect::kAcked:  // the main thread deletes its file
      case K8Effect::kRefused:
      case K8Effect::kReleased: {
        const PacketEnd end = e.kind == K8Effect::kAcked     ? PacketEnd::kAcknowledged
                              : e.kind == K8Effect::kRefused ? PacketEnd::kRefused
                                                             : PacketEnd::kReleased;
        // A record held in memory, or one NotSendToDiskK8 keeps there, has no file.
        if (e.text.empty()) break;
        ToMain([file = std::move(e.text), end](Outbox& main) {
          main.deliveries.Ended(SpoolKind::kK8, file, end);
        });
        break;
      }
      case K8Effect::kRetQuery:
        s_.host.RequestRetQuery();
        break;
      case K8Effect::kLinkDown:
        why_[static_cast<int>(session_.server())] = e.text;
        DiagState(JournalKind::kLinkDown, kDiagError,
                  "K8: connection to " + Peer() + " lost: " + e.text, LinkFields(e.text));
        down_reported_ = true;  // failed attempts stay quiet until it is back
        break;
    }
  }
  Publish();
}

bool K8Link::ReadServers() {
  const ServerHost host = ReadServerHost(LoadIniFile(s_.fs, ini_path_));
  primary_ = {host.address, host.port};
  backup_ = {host.backup_address, host.backup_port};
  // Start-up's check of the configuration says what is wrong at first; a change later on is
  // said here.
  const std::string problem = BackupProblem(primary_, backup_);
  if (problem != backup_problem_ && !problem.empty() && servers_read_) {
    DiagError("K8: " + problem + "; the link runs on the primary alone");
  }
  backup_problem_ = problem;
  servers_read_ = true;
  if (backup_.host != unresolved_backup_) unresolved_backup_.clear();
  return !backup_.host.empty() && problem.empty() && unresolved_backup_.empty();
}

void K8Link::OnServer(Server server, const std::string& address) {
  ToMain(
      [server, address](Outbox& main) { main.observer.OnServer(SpoolKind::kK8, server, address); });
}

void K8Link::Connect() {
  client_.reset();  // closes what a server's disconnect order left open
  session_.SetHasBackup(ReadServers());
  const Server target = session_.server();
  const Server other = OtherServer(target);
  host_ = AddressOf(target).host;
  port_ = AddressOf(target).port;
  peer_server_ = target;
  TcpClientOptions options;
  options.host = host_;
  options.port = port_;
  options.connect_timeout_ms = timing_.connect_timeout_ms;
  options.read_timeout_ms = kClientReadTimeoutMs;
  options.write_timeout_ms = timing_.write_timeout_ms;
  options.cancel = &stop_;
  client_ = s_.make_client(std::move(options));
  const int error = client_->Connect();
  if (error != 0) {
    client_.reset();
    session_.OnConnectFailed(s_.clock.TickMs());
    why_[static_cast<int>(target)] = SocketErrorWords(error);
    if (error == kSocketHostNotFound && target == Server::kBackup) {
      DiagError("K8: the backup " + Peer() + " resolves to nothing; the link runs on the primary " +
                "alone");
      unresolved_backup_ = host_;
      session_.SetHasBackup(false);
    } else if (error != kSocketInterrupted && !down_reported_) {
      const std::string why = SocketErrorWords(error);
      DiagState(JournalKind::kLinkDown, kDiagError, "K8: cannot connect to " + Peer() + ": " + why,
                LinkFields(why));
      down_reported_ = true;
    }
    return;
  }
  const K8Greeting greeting = AskGreeting();
  const bool switched = session_.OnConnected(s_.clock.TickMs(), greeting);
  down_reported_ = false;
  DiagState(JournalKind::kLinkUp, kDiagError, "K8: connected to " + Peer(), LinkFields());
  if (switched) {
    const std::string& why = why_[static_cast<int>(other)];
    DiagState(JournalKind::kLinkSwitched, kDiagError,
              SwitchedText("K8", target, AddressOf(other).Text(), why, Peer()),
              LinkFields(why.empty() ? "no connection" : why));
  }
  OnServer(target, Peer());
}

void K8Link::StartProbe() {
  if (!ReadServers()) {
    // The backup is no longer configured: the link stays on it until the connection ends.
    session_.OnProbeEnded(s_.clock.TickMs(), false, K8Greeting{});
    return;
  }
  TcpClientOptions options;
  options.host = primary_.host;
  options.port = primary_.port;
  options.connect_timeout_ms = timing_.connect_timeout_ms;
  options.read_timeout_ms = kClientReadTimeoutMs;
  options.write_timeout_ms = timing_.write_timeout_ms;
  options.cancel = &stop_;
  probe_client_ = s_.make_client(std::move(options));
  probe_done_.store(false);
  // Only the probe thread touches the client until probe_done_ says it has ended.
  probe_thread_ = std::thread([this, client = probe_client_.get()] {
    probe_error_ = client->Connect();
    probe_done_.store(true);
    {
      std::lock_guard lock(wake_mutex_);
      wake_ = true;
    }
    wake_cv_.notify_one();
  });
}

void K8Link::EndProbe() {
  probe_thread_.join();
  probe_done_.store(false);
  const uint32_t now = s_.clock.TickMs();
  if (probe_error_ != 0 || !session_.TakesProbe() || stop_.load()) {
    probe_client_.reset();
    session_.OnProbeEnded(now, false, K8Greeting{});
    return;
  }
  // Between two exchanges: the backup's connection goes with nothing in flight on it.
  const std::string left = Peer();
  client_ = std::move(probe_client_);
  host_ = primary_.host;
  port_ = primary_.port;
  peer_server_ = Server::kPrimary;
  session_.OnProbeEnded(now, true, AskGreeting());
  DiagState(JournalKind::kLinkSwitched, kDiagError, BackOnPrimaryText("K8", Peer(), left),
            LinkFields("the primary answers again"));
  OnServer(Server::kPrimary, Peer());
}

void K8Link::SetLink(bool up) {
  if (link_.exchange(up) == up) return;
  ToMain([up, server = peer_server_](Outbox& main) {
    main.observer.LinkChanged(SpoolKind::kK8, up, server);
  });
}

JournalFields K8Link::LinkFields(const std::string& reason) const {
  JournalFields fields = {
      {"QARN_LINK", "k8"}, {"QARN_SERVER", ServerName(peer_server_)}, {"QARN_PEER", Peer()}};
  if (!reason.empty()) fields.emplace_back("QARN_REASON", reason);
  return fields;
}

void K8Link::Exchange(const Bytes& frame) {
  if (!frame.empty()) {
    const int error = client_ ? client_->WriteAll(frame) : kSocketNotConnected;
    if (error != 0) {
      session_.OnWriteFailed(s_.clock.TickMs(), "cannot write: " + SocketErrorWords(error));
      return;
    }
    session_.OnWritten();
  }
  ReadReply();
}

void K8Link::ReadReply() {
  if (!client_) {
    session_.OnReplyFailed(s_.clock.TickMs(), K8ReplyFailure::kClosed);
    return;
  }
  const uint32_t started = s_.clock.TickMs();
  auto failed = [this](int error) {
    // A stop leaves the packet in flight to the session's close.
    if (error == kSocketInterrupted) return;
    session_.OnReplyFailed(s_.clock.TickMs(), error == kSocketTimedOut ? K8ReplyFailure::kTimedOut
                                                                       : K8ReplyFailure::kClosed);
  };
  client_->SetReadTimeout(timing_.reply_timeout_ms);
  uint8_t header[kK8FrameHeaderSize];
  size_t got = 0;
  if (const int error = client_->ReadExactly(header, sizeof header, &got)) return failed(error);
  const auto size = ParseK8FrameHeader(ByteView(header, sizeof header));
  if (!size || *size <= 0) {
    session_.OnReplyFailed(s_.clock.TickMs(), K8ReplyFailure::kBadHeader);
    return;
  }
  if (*size > kMaxReplySize) {
    session_.OnReplyFailed(s_.clock.TickMs(), K8ReplyFailure::kTooLarge);
    return;
  }
  // The header and the body share one deadline, however the body trickles in.
  const int64_t whole = int64_t{timing_.reply_timeout_ms} + timing_.reply_body_wait_ms;
  const int64_t left = whole - static_cast<int64_t>(s_.clock.TickMs() - started);
  client_->SetReadTimeout(static_cast<int>(left > 0 ? left : 0));
  Bytes body(static_cast<size_t>(*size));
  if (const int error = client_->ReadExactly(body.data(), body.size(), &got)) {
    return failed(error);
  }
  session_.OnReply(s_.clock.TickMs(), body);
}

void K8Link::Wait(const K8Order& order) {
  std::unique_lock lock(wake_mutex_);
  auto woken = [this] { return wake_ || stop_.load(); };
  if (!woken()) {
    if (!order.timed) {
      wake_cv_.wait(lock, woken);
    } else {
      const int32_t left = static_cast<int32_t>(order.until - s_.clock.TickMs());
      if (left > 0) wake_cv_.wait_for(lock, std::chrono::milliseconds(left), woken);
    }
  }
  wake_ = false;
}

}  // namespace qarn
