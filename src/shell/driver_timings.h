// How long the driver waits between its tries. The defaults are the protocol's and the only
// ones a station ever sees; tests of the binary shorten them through the environment variable
// QARN_TEST_TIMINGS, so that a reconnection takes a fraction of a second, not five.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "k7/k7_exchange.h"
#include "k8/k8_session.h"
#include "shell/run_control.h"

namespace qarn {

inline constexpr const char* kTestTimingsVariable = "QARN_TEST_TIMINGS";
inline constexpr int kHousekeepingIntervalMs = 3000;
inline constexpr int kReplayIntervalMs = 200;

struct DriverTimings {
  K8LinkTiming k8;  // its reconnect pause and poll period among them; its failback for both
                    // links
  int housekeeping_ms =
      kHousekeepingIntervalMs;         // K7 reconnection and the retranslator query interval
  uint32_t store_retry_ms = 5000;      // records the disk refused are offered to it again
  uint32_t station_silence_ms = 3000;  // this long without a packet: the station is silent
  int replay_ms = kReplayIntervalMs;   // one spool file per link per tick
  int k7_drain_ms = kK7DrainMs;        // at the close, for what the K7 socket still holds
  int port_retry_ms = RunControl::kRetryFastMs;  // a station port meant to run, its first minute
};

// "name=milliseconds" pairs separated by commas; the names are reconnect and poll (the K8
// link), failback (both links' try of the primary while on the backup), housekeeping, retry (the
// disk), silence, replay, drain (K7 at the close) and portretry (the station port). Anything else,
// or a number out of 1..600000: nullopt, and `error` says which.
std::optional<DriverTimings> ParseDriverTimings(std::string_view text, std::string* error);

// The pairs that differ from the defaults, in the form ParseDriverTimings reads.
std::string DescribeDriverTimings(const DriverTimings& timings);

}  // namespace qarn
