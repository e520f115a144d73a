#include "k8/k8_link.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "k8/k8_wire.h"
#include "k8/server_host.h"
#include "platform/ini_file.h"
#include "platform/socket_error.h"
#include "platform/version.h"

namespace qarn {
namespace {

// A size the link will not take: the stream cannot be followed past such a reply.
constexpr int32_t kMaxReplySize = 1 << 20;
constexpr size_t kReplyPiece = 50000;

}  // namespace

K8Link::K8Link(Services services, Hooks hooks, std::string ini_path, K8LinkTiming timing)
    : s_(std::move(services)),
      hooks_(std::move(hooks)),
      ini_path_(std::move(ini_path)),
      timing_(timing),
      thread_([this] { Run(); }) {}

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

bool K8Link::Queue(int32_t type, ByteView payload) {
  return QueuePacket(type, payload, std::string());
}

void K8Link::RequestStop() {
  {
    std::lock_guard lock(wake_mutex_);
    stop_.store(true);
  }
  wake_cv_.notify_one();
}

void K8Link::StopAndWait() {
  RequestStop();
  s_.loop.RunUntil([this] { return finished(); });
  if (thread_.joinable()) thread_.join();
}

std::unique_ptr<BlockingTcpClient> K8Link::MakeClient(const std::string& host, int port) {
  TcpClientOptions options;
  options.host = host;
  options.port = port;
  options.connect_timeout_ms = timing_.connect_timeout_ms;
  options.read_timeout_ms = timing_.client_read_timeout_ms;
  options.on_connected = [this] { OnLinkConnected(); };
  options.on_disconnected = [this] { OnLinkDisconnected(); };
  return s_.make_client(std::move(options));
}

void K8Link::Run() {
  denial_reported_ = false;
  last_poll_tick_ = s_.clock.TickMs();
  network_errors_ = 0;
  last_attempt_tick_ = 0;
  access_ = true;
  poll_enabled_ = false;
  const ServerHost host = ReadServerHost(IniFile::Load(s_.fs, ini_path_));
  client_ = MakeClient(host.address, host.port);

  while (!stop_.load()) {
    steps_.fetch_add(1, std::memory_order_relaxed);
    try {
      Step();
      step_failures_.Succeeded();
    } catch (const std::exception& e) {
      // The rest of the driver counts on this thread: report and carry on.
      step_failures_.Failed(e.what());
    }
    WaitForWork();
  }

  if (client_ && client_->Connected()) client_->Disconnect();
  PostStatus("выход - " + FormatTimeWithMs(s_.clock.LocalNow()));
  client_.reset();
  finished_.store(true);
}

void K8Link::WaitForWork() {
  std::unique_lock lock(wake_mutex_);
  if (wake_ || stop_.load()) {
    wake_ = false;
    return;
  }
  // The time until the next thing falls due; -1 when only a wake-up can bring work.
  int64_t wait_ms = -1;
  const uint32_t now = s_.clock.TickMs();
  auto remaining = [now](uint32_t since, uint32_t period) -> int64_t {
    const uint32_t elapsed = now - since;
    return elapsed > period ? 0 : static_cast<int64_t>(period - elapsed) + 1;
  };
  if (link_.load()) {
    if (read_due_ || !ring_.Empty()) return;
    if (poll_enabled_) wait_ms = remaining(last_poll_tick_, timing_.poll_period_ms);
  } else if (access_) {
    wait_ms = remaining(last_attempt_tick_, timing_.reconnect_pause_ms);
  } else if (!denial_reported_) {
    return;
  }
  if (wait_ms == 0) return;
  auto woken = [this] { return wake_ || stop_.load(); };
  if (wait_ms < 0) {
    wake_cv_.wait(lock, woken);
  } else {
    wake_cv_.wait_for(lock, std::chrono::milliseconds(wait_ms), woken);
  }
  wake_ = false;
}

void K8Link::Step() {
  if (!link_.load()) {
    if (access_) {
      if (s_.clock.TickMs() - last_attempt_tick_ > timing_.reconnect_pause_ms) TryConnect();
    } else if (!denial_reported_) {
      denial_reported_ = true;
      PostStatus("Доступ запрещен.");
    }
    return;
  }

  if (network_errors_ > timing_.network_error_limit) {
    network_errors_ = 0;
    PostStatus("Ошибки по сети - переподсоединение.");
    link_.store(false);
  }
  bool sent = false;
  bool poll_due = false;
  // The .dd8 file of the packet this step's reply answers, if it was a replayed one.
  std::string answered_spool_file;
  RingEntry head;
  if (ring_.Peek(&head)) {
    sent = true;
    if (SendFrame(head.packet)) {
      ring_.Drop();
      answered_spool_file = head.spool_file;
    }
  } else if (poll_enabled_ && s_.clock.TickMs() - last_poll_tick_ > timing_.poll_period_ms) {
    poll_due = true;
    last_poll_tick_ = s_.clock.TickMs();
  }
  if (!poll_due && !read_due_ && !sent) return;
  if (poll_due) SendFrame(BuildK8Packet(kK8Poll, ByteView(), 0));
  read_due_ = false;
  ReadReply();
  if (reply_.empty()) {
    ++network_errors_;
    return;
  }
  HandleReply(answered_spool_file);
}

void K8Link::TryConnect() {
  PostActivity();
  PostStatus("Соединение...");
  last_attempt_tick_ = s_.clock.TickMs();
  client_.reset();
  poll_enabled_ = false;
  const ServerHost host = ReadServerHost(IniFile::Load(s_.fs, ini_path_));
  client_ = MakeClient(host.address, host.port);
  const bool connected = client_->Connect() == 0;
  link_.store(connected);
  if (!connected) return;
  s_.dd8.MakeDue(s_.clock.Now());
  PostStatus("Соединение установлено.");
  PostActivity();
}

void K8Link::OnLinkConnected() {
  link_.store(true);
  GreetingValues values;
  if (hooks_.greeting_values) s_.loop.RunAndWait([&] { values = hooks_.greeting_values(); });
  Queue(kK8Hello, BuildHelloPayload());
  read_due_ = true;
  Queue(kK8PortState, BuildPortStatePayload(values.port_name, values.port_open));
  Queue(kK8FirstNumber, BuildFirstNumberPayload(values.first_number));
  Queue(kK8Version, BuildVersionPayload(kVersionText));
}

void K8Link::OnLinkDisconnected() {
  last_attempt_tick_ = s_.clock.TickMs();
  link_.store(false);
  PostActivity();
}

void K8Link::Disconnect() {
  if (client_) client_->Disconnect();
}

bool K8Link::SendFrame(ByteView packet) {
  const Bytes frame = BuildK8Frame(packet);
  if (client_ && client_->WriteAll(frame) == 0) return true;
  ++network_errors_;
  Disconnect();
  return false;
}

void K8Link::ReadReply() {
  reply_.clear();
  if (!client_) return;
  client_->SetReadTimeout(timing_.reply_timeout_ms);
  uint8_t header[kK8FrameHeaderSize];
  size_t got = 0;
  if (client_->ReadExactly(header, sizeof header, &got) != 0) return;
  const auto size = ParseK8FrameHeader(ByteView(header, sizeof header));
  if (!size || *size <= 0) return;
  if (*size > kMaxReplySize) {
    DiagError("K8: reply of " + std::to_string(*size) + " bytes refused");
    Disconnect();
    return;
  }
  Bytes body(static_cast<size_t>(*size));
  size_t filled = 0;
  const uint32_t started = s_.clock.TickMs();
  while (filled < body.size()) {
    const size_t piece = std::min(kReplyPiece, body.size() - filled);
    size_t piece_got = 0;
    const int error = client_->ReadExactly(body.data() + filled, piece, &piece_got);
    filled += piece_got;
    if (error == 0) continue;
    const bool waited_too_long = s_.clock.TickMs() - started > timing_.body_wait_ms;
    if (error != kSocketTimedOut || waited_too_long || stop_.load()) {
      // The rest of this reply is not coming: what follows could not be framed.
      if (error == kSocketTimedOut) Disconnect();
      return;
    }
  }
  reply_ = std::move(body);
}

void K8Link::HandleReply(const std::string& answered_spool_file) {
  if (!HasK8Markers(reply_)) return;
  PostActivity();
  const K8PacketHeader header = *ReadK8PacketHeader(reply_);
  reply_payload_.clear();
  if (header.length != 0) reply_payload_.assign(reply_.begin() + kK8PacketHeaderSize, reply_.end());

  switch (header.type) {
    case kK8PollEnable:
      poll_enabled_ = true;
      break;
    case kK8EventAck:
      // Only the acknowledgement of the replayed packet itself releases its file.
      if (answered_spool_file.empty()) break;
      s_.dd8.Update([&](const std::string& file, TDateTime& replay_time) {
        if (file != answered_spool_file || !s_.fs.Exists(file)) return;
        s_.fs.Remove(file);
        replay_time = s_.clock.Now() - 1.0;
      });
      break;
    case kK8Query:
      Queue(kK8QueryAnswer, ByteView());
      break;
    case kK8Poll:
      if (PollReplyRequestsRetQuery(reply_payload_) && hooks_.request_ret_query) {
        hooks_.request_ret_query();
      }
      break;
    case kK8Reconnect:
      last_attempt_tick_ = s_.clock.TickMs();
      link_.store(false);
      PostActivity();
      Disconnect();
      break;
    case kK8ServerDisconnect:
      network_errors_ = 0;
      last_attempt_tick_ = s_.clock.TickMs();
      link_.store(false);
      PostActivity();
      PostStatus("Сервер дал команду на рассоединение.");
      break;
    case kK8Denied:
      link_.store(false);
      access_ = false;
      last_attempt_tick_ = s_.clock.TickMs();
      PostActivity();
      Disconnect();
      break;
  }
}

void K8Link::PostStatus(const std::string& text) {
  status_text_ = text;
  if (hooks_.add_log_line) s_.loop.RunAndWait([&] { hooks_.add_log_line(status_text_); });
}

void K8Link::PostActivity() {
  if (hooks_.advance_indicator) s_.loop.RunAndWait([&] { hooks_.advance_indicator(); });
}

}  // namespace qarn
