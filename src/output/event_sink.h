// Where the station's events go once it has sent them: the event output, which stores every
// record before the station is acknowledged.
#pragma once

#include <cstdint>

#include "output/event_record.h"

namespace qarn {

class EventSink {
 public:
  virtual ~EventSink() = default;
  // Returns once each record of the event is on disk, or held in memory while the disk
  // refuses it.
  virtual void DeliverStationEvent(const StationEvent& event) = 0;
  // A K7 service frame of `type`, stored and sent like an event's record.
  virtual void SendServiceFrame(uint8_t type) = 0;
};

}  // namespace qarn
