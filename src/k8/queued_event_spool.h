// At an orderly close the live station events still in the K8 ring are kept on disk, like
// events whose link is down. Replayed packets are left alone: their .dd8 file still exists.
#pragma once

#include <vector>

#include "k8/packet_ring.h"
#include "output/spool_writer.h"

namespace qarn {

// Writes a .dd8 file for every live station event among `entries`; the count written.
int SpoolLiveStationEvents(const std::vector<RingEntry>& entries, SpoolWriter& spool,
                           TDateTime now);

}  // namespace qarn
