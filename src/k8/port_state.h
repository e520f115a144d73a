// The port-state packet on its way to the K8 link, as the run control queues it.
#pragma once

#include <string>

#include "k8/k8_wire.h"
#include "output/links.h"

namespace qarn {

// False when the queue is full and the packet was not queued.
inline bool QueuePortState(K8Channel& k8, const std::string& port_name, bool open) {
  return k8.QueuePacket(kK8PortState, BuildPortStatePayload(port_name, open), std::string());
}

}  // namespace qarn
