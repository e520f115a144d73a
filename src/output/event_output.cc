#include "output/event_output.h"

namespace qarn {

EventOutput::EventOutput(Settings settings, SpoolWriter& spool, SpoolReplay& replay,
                         const Clock& clock, Observer& observer)
    : settings_(settings),
      spool_(spool),
      clock_(clock),
      replay_(replay),
      observer_(observer),
      unstored_(spool, clock, settings.store_retry_ms) {}

void EventOutput::DeliverStationEvent(const StationEvent& event) {
  if (settings_.send_k8) {
    const K8Event record = BuildK8Event(event);
    const bool up = k8_ && k8_->Connected();
    if (settings_.not_send_to_disk_k8) {
      // The operator chose no disk: the record lives in the ring only.
      if (up) k8_->QueuePacket(kK8StationEventType, record, std::string());
    } else if (const auto path = spool_.WriteK8(kK8StationEventType, record, clock_.Now())) {
      if (!unstored_.empty()) unstored_.StoreAll();  // the disk is back
      // Stored first; a full ring or a link that is down leaves it to the replay.
      if (up && k8_->QueuePacket(kK8StationEventType, record, *path)) {
        replay_.MarkInFlight(SpoolKind::kK8, *path);
      }
    } else {
      // Kept in memory until the disk takes it; meanwhile one live copy goes out, so the
      // server may see it twice but does not wait for the disk.
      unstored_.Hold(SpoolKind::kK8, record, kK8StationEventType);
      if (up) k8_->QueuePacket(kK8StationEventType, record, std::string());
    }
  }
  if (settings_.send_k7) {
    if (StoreAndSendK7(BuildEventFrame(event))) observer_.Activity(Indicator::kK7);
  }
  observer_.Held(unstored_.size(), unstored_.lost());
}

void EventOutput::SendServiceFrame(uint8_t type) { StoreAndSendK7(BuildServiceFrame(type)); }

bool EventOutput::StoreAndSendK7(const K7Frame& frame) {
  const auto path = spool_.WriteK7(frame, clock_.Now());
  if (!path) {
    // Held until the disk takes it; the next tick sends one live copy meanwhile.
    unstored_.Hold(SpoolKind::kK7, frame);
    return false;
  }
  if (!unstored_.empty()) unstored_.StoreAll();
  if (!k7_ || !k7_->Connected()) return false;
  // Not taken now (the window of units waiting for the server is full), or not whole (the
  // link then drops the connection): the replay sends it from its file.
  if (k7_->SendUnit(frame, *path) != frame.size()) return false;
  replay_.MarkInFlight(SpoolKind::kK7, *path);
  return true;
}

}  // namespace qarn
