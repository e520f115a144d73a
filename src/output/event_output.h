// Sends each record of a station event, and each K7 service frame, on its link when the
// link is up, and spools it otherwise. When DeliverStationEvent returns, each record is safe
// (the station may be acknowledged): a K8 record is in a durable .dd8 file before its packet
// is queued, and that packet owns the file; a K7 unit was taken whole or spooled.
#pragma once

#include <functional>
#include <string>

#include "output/event_record.h"
#include "output/links.h"
#include "output/spool_writer.h"
#include "output/unstored_records.h"
#include "platform/clock.h"

namespace qarn {

class EventOutput {
 public:
  struct Settings {
    bool send_k7 = false;
    bool send_k8 = true;
    bool not_send_to_disk_k8 = false;
    uint32_t store_retry_ms = UnstoredRecords::kRetryMs;
  };

  // The links may be null while they do not exist; they then count as down.
  EventOutput(Settings settings, SpoolWriter& spool, const Clock& clock,
              std::function<void()> advance_k7_indicator);

  void SetLinks(K7Channel* k7, K8Channel* k8) {
    k7_ = k7;
    k8_ = k8;
  }
  // Told of every .dd8 file whose packet was queued here, so that the replay holds it back.
  void SetK8Queued(std::function<void(const std::string& spool_file)> fn) {
    k8_queued_ = std::move(fn);
  }

  void DeliverStationEvent(const StationEvent& event);
  void SendServiceFrame(uint8_t type);

  // Sends a K7 unit when the link is up; spools it when the link is down or did not take
  // the whole unit. True when it was sent.
  bool SendOrSpoolK7(const K7Frame& frame);
  // Keeps a K7 unit for the replay: in a .ddk file, or in memory while no file can be written.
  void SpoolK7(const K7Frame& frame);

  // The records no spool file could take; the replay tick calls its Tick.
  UnstoredRecords& unstored() { return unstored_; }

 private:
  Settings settings_;
  SpoolWriter& spool_;
  const Clock& clock_;
  std::function<void()> advance_k7_indicator_;
  std::function<void(const std::string&)> k8_queued_;
  K7Channel* k7_ = nullptr;
  K8Channel* k8_ = nullptr;
  UnstoredRecords unstored_;
};

}  // namespace qarn
