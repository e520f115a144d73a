#include "station/station_protocol.h"

#include <algorithm>
#include <cstring>

namespace qarn {

RetEnabled ParseRetEnabled(const std::string& ret) {
  std::string text = ret;
  if (text.empty() || text.front() != ',') text.insert(text.begin(), ',');
  if (text.back() != ',') text.push_back(',');
  RetEnabled enabled;
  for (int i = 1; i <= 32; ++i) {
    if (text.find("," + std::to_string(i) + ",") != std::string::npos) enabled.set(i);
  }
  return enabled;
}

StationProtocol::StationProtocol(Settings settings, StationPort& port, EventSink& sink,
                                 Observer& observer, const Clock& clock, FileSystem& fs,
                                 TDateTime start_time)
    : settings_(std::move(settings)),
      port_(port),
      sink_(sink),
      observer_(observer),
      clock_(clock),
      fs_(fs),
      last_query_time_(start_time),
      last_receive_time_(start_time) {
  port_.SetReceiver(this);
}

void StationProtocol::HandleStationPacket(ByteView packet) {
  const size_t n = std::min(packet.size(), buffer_.size());
  if (n == 0) return;
  std::memcpy(buffer_.data(), packet.data(), n);
  last_receive_time_ = clock_.Now();
  if (settings_.log) {
    // A dump that cannot be written must not cost the station its answer.
    std::string error;
    if (fs_.Append(settings_.dump_path, packet.first(n), &error)) {
      dump_failures_.Succeeded("written again");
    } else {
      dump_failures_.Failed(error);
    }
  }
  const uint8_t* b = buffer_.data();
  auto heard = [this](StationFrameKind kind) { observer_.FrameHeard(kind); };
  if (b[1] == kStationEventCommand) {
    heard(StationFrameKind::kEvent);
    HandleEvent();
  } else if (std::equal(kCommand12Frame.begin(), kCommand12Frame.end(), b)) {
    heard(StationFrameKind::kCommand12);
    Advance();
    Send(kAckFrame);
  } else if (std::equal(kPollFrame.begin(), kPollFrame.end(), b)) {
    heard(StationFrameKind::kPoll);
    HandlePoll();
  } else {
    heard(StationFrameKind::kOther);
  }
}

void StationProtocol::HandleEvent() {
  const uint8_t* b = buffer_.data();
  StationEvent event;
  event.event_time = clock_.Now();
  // 32-bit arithmetic that wraps, as the records hold it.
  const uint32_t base = static_cast<uint32_t>(settings_.first_number) * 10000u;
  const int32_t object = b[5] * 256 + b[6];
  event.object_number =
      static_cast<int32_t>(static_cast<uint32_t>(object == 0 ? b[3] : object) + base);
  event.event_code = b[4];
  event.frame_byte3 = b[3];
  // The station forgets an event once it is acknowledged: its records are made safe first.
  observer_.EventReceived(event);
  sink_.DeliverStationEvent(event);
  Send(kAckFrame);
  observer_.EventAcknowledged(event);
  Advance();
}

void StationProtocol::HandlePoll() {
  Advance();
  const bool ret_query = ret_query_pending_.load();
  if (!clock_pending_ && !ret_query) {
    Send(kNothingToSendFrame);
    return;
  }
  if (clock_pending_) {
    Advance();
    Send(BuildClockFrame(clock_.LocalNow(), settings_.ret_enabled));
    clock_pending_ = false;
  }
  if (ret_query_pending_.exchange(false)) {
    Advance();
    Send(kRetQueryFrame);
    if (settings_.send_k7) sink_.SendServiceFrame(kK7RetQuerySent);
  }
}

void StationProtocol::CheckQueryInterval() {
  const TDateTime now = clock_.Now();
  if (now > last_query_time_ + settings_.query_interval) {
    last_query_time_ = now;
    ret_query_pending_.store(true);
  }
}

}  // namespace qarn
