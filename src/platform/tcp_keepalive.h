// Dead-peer detection for a connected TCP socket: keepalive probes while the link is idle,
// and a limit on how long sent data may stay unacknowledged, so that a peer that vanished
// without a FIN (power loss, a cable pulled, a half-open connection) is found within about a
// minute instead of never.
#pragma once

namespace qarn {

inline constexpr int kKeepAliveIdleS = 20;     // first probe after this much silence
inline constexpr int kKeepAliveIntervalS = 5;  // then one probe every so often
inline constexpr int kKeepAliveProbes = 6;     // unanswered probes that end the connection
inline constexpr int kUserTimeoutMs = 50'000;  // sent data unacknowledged this long: dead

// Sets the options on `fd`. 0, or the error number of the first option refused.
[[nodiscard]] int EnableDeadPeerDetection(int fd);

}  // namespace qarn
