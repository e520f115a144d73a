// Stores each record of a station event, and each K7 service frame, in its spool file first
// (a durable .dd8 or .ddk, whether or not the link is up), then sends it live when its link is
// up. When DeliverStationEvent returns, each record is on disk or, while the disk refuses,
// held in memory (the station may be acknowledged); the spool file goes when the server has
// the record.
#pragma once

#include <string>

#include "output/event_record.h"
#include "output/event_sink.h"
#include "output/links.h"
#include "output/observer.h"
#include "output/spool_replay.h"
#include "output/spool_writer.h"
#include "output/unstored_records.h"
#include "platform/clock.h"

namespace qarn {

class EventOutput final : public EventSink {
 public:
  struct Settings {
    bool send_k7 = false;
    bool send_k8 = true;
    bool not_send_to_disk_k8 = false;
    uint32_t store_retry_ms = UnstoredRecords::kRetryMs;
  };

  // Every spool file whose record goes out live here is marked in flight in `replay`, which
  // then holds it back until the link reports it; the K7 indicator and the records held in
  // memory are told to `observer`.
  EventOutput(Settings settings, SpoolWriter& spool, SpoolReplay& replay, const Clock& clock,
              Observer& observer);

  // The links may be null while they do not exist; they then count as down.
  void SetLinks(K7Channel* k7, K8Channel* k8) {
    k7_ = k7;
    k8_ = k8;
  }

  void DeliverStationEvent(const StationEvent& event) override;
  void SendServiceFrame(uint8_t type) override;

  // Stores a K7 unit (in a .ddk file, or in memory while no file can be written), then sends
  // it when the link is up. True when the link took it whole.
  bool StoreAndSendK7(const K7Frame& frame);

  // The records no spool file could take; the replay tick calls its Tick.
  UnstoredRecords& unstored() { return unstored_; }

 private:
  Settings settings_;
  SpoolWriter& spool_;
  const Clock& clock_;
  SpoolReplay& replay_;
  Observer& observer_;
  K7Channel* k7_ = nullptr;
  K8Channel* k8_ = nullptr;
  UnstoredRecords unstored_;
};

}  // namespace qarn
