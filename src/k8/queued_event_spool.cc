#include "k8/queued_event_spool.h"

#include "k8/k8_wire.h"

namespace qarn {

int SpoolLiveStationEvents(const std::vector<RingEntry>& entries, SpoolWriter& spool,
                           TDateTime now) {
  int written = 0;
  for (const RingEntry& entry : entries) {
    if (!entry.spool_file.empty()) continue;
    const auto header = ReadK8PacketHeader(entry.packet);
    if (!header || header->type != kK8StationEventType) continue;
    const ByteView payload = ByteView(entry.packet).subspan(kK8PacketHeaderSize);
    if (spool.WriteK8(header->type, payload, now)) ++written;
  }
  return written;
}

}  // namespace qarn
