// Stores each record of a station event, and each K7 service frame, in its spool file first
// (a durable .dd8 or .ddk, whether or not the link is up), then sends it live when its link is
// up. When DeliverStationEvent returns, each record is on disk or, while the disk refuses,
// held in memory (the station may be acknowledged); the spool file goes when the server has
// the record.
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
  // Told of every spool file whose record went out live here, so that the replay holds it
  // back until the link reports it.
  void SetSentLive(std::function<void(SpoolKind kind, const std::string& spool_file)> fn) {
    sent_live_ = std::move(fn);
  }

  void DeliverStationEvent(const StationEvent& event);
  void SendServiceFrame(uint8_t type);

  // Stores a K7 unit (in a .ddk file, or in memory while no file can be written), then sends
  // it when the link is up. True when the link took it whole.
  bool StoreAndSendK7(const K7Frame& frame);

  // The records no spool file could take; the replay tick calls its Tick.
  UnstoredRecords& unstored() { return unstored_; }

 private:
  Settings settings_;
  SpoolWriter& spool_;
  const Clock& clock_;
  std::function<void()> advance_k7_indicator_;
  std::function<void(SpoolKind, const std::string&)> sent_live_;
  K7Channel* k7_ = nullptr;
  K8Channel* k8_ = nullptr;
  UnstoredRecords unstored_;
};

}  // namespace qarn
