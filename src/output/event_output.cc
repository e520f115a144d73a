#include "output/event_output.h"

namespace qarn {

EventOutput::EventOutput(Settings settings, SpoolWriter& spool, const Clock& clock,
                         std::function<void()> advance_k7_indicator)
    : settings_(settings),
      spool_(spool),
      clock_(clock),
      advance_k7_indicator_(std::move(advance_k7_indicator)) {}

void EventOutput::DeliverStationEvent(const StationEvent& event) {
  if (settings_.send_k8) {
    const K8Event record = BuildK8Event(event);
    // A full queue must not lose the event: it goes to the disk like one whose link is down.
    const bool queued =
        k8_ && k8_->Connected() && k8_->QueuePacket(kK8StationEventType, record, std::string());
    if (!queued && !settings_.not_send_to_disk_k8) {
      spool_.WriteK8(kK8StationEventType, record, clock_.Now());
    }
  }
  if (settings_.send_k7) {
    if (SendOrSpoolK7(BuildEventFrame(event)) && advance_k7_indicator_) advance_k7_indicator_();
  }
}

void EventOutput::SendServiceFrame(uint8_t type) { SendOrSpoolK7(BuildServiceFrame(type)); }

bool EventOutput::SendOrSpoolK7(const K7Frame& frame) {
  if (k7_ && k7_->Connected()) {
    if (k7_->SendUnit(frame) == frame.size()) return true;
    // Not taken whole (the link then drops the connection) or not taken now: kept on disk.
  }
  spool_.WriteK7(frame, clock_.Now());
  return false;
}

}  // namespace qarn
