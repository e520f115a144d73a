// What tests that run the real driver share: its "sqarn.ini" for a pseudo-terminal station
// and loopback servers, and the station's reading of the driver's answers.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>

#include "base/bytes.h"
#include "fakes/own_ports.h"

namespace qarn::testing {

// The driver's pauses shortened for runs of the binary: the K8 reconnection, the K7 one, the
// retry of a refusing disk, the station's silence, the replay tick, the K7 drain at the close
// and the try of a primary server while on the backup. The protocol's order of things stays;
// only the waiting between them shrinks.
inline constexpr const char* kFastTimings =
    "QARN_TEST_TIMINGS=reconnect=250,housekeeping=250,retry=250,silence=1000,replay=50,drain=250,"
    "portretry=250,failback=1000";

// Port 0 turns a link off; its connections, tried all the same, are refused. `extra_server_host`
// goes into [ServerHost].
inline std::string DriverTestIni(int k7_port, int k8_port, const std::string& station_path,
                                 const std::string& extra_main = "",
                                 const std::string& extra_server_host = "") {
  std::ostringstream main_keys;
  main_keys << "ComPort=COM1\nSetClock=0\n"
            << extra_main << "SendK7=" << (k7_port ? 1 : 0) << "\nSendK8=" << (k8_port ? 1 : 0)
            << "\n";
  return OwnLinksIni(main_keys.str(), extra_server_host + "[ports]\nCOM1=" + station_path + "\n",
                     k7_port, k8_port);
}

// Reads from `fd` into `in` until `expected` has come; drops what came before it.
inline bool ReadUntil(int fd, Bytes& in, ByteView expected, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto at = std::search(in.begin(), in.end(), expected.begin(), expected.end());
    if (at != in.end()) {
      in.erase(in.begin(), at + static_cast<long>(expected.size()));
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    uint8_t buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) in.insert(in.end(), buffer, buffer + n);
  }
}

}  // namespace qarn::testing
