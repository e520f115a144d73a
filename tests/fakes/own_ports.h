// Ports a test holds for the links of every driver it starts, so that no driver of the suite
// ever greets a server it was not meant for: not the machine's real message server on the
// default ports, and not another test's server.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>

#include "platform/tcp_listener.h"

namespace qarn::testing {

// A port bound on 127.0.0.1 for the whole test process that never listens: a connection to it
// is refused at once, and nobody else on the machine can take it meanwhile.
inline int RefusingPort() {
  static TcpListener* const held = [] {
    auto* listener = new TcpListener;  // kept to the process's end, past every driver
    if (listener->Listen("127.0.0.1", 0) != 0 || listener->StopListening() != 0) std::abort();
    return listener;
  }();
  return held->port();
}

// A "sqarn.ini" for a driver that a test starts: `main_keys` in [main], `sections` after it,
// and both links on 127.0.0.1 at the test's ports, `k7_port` and `k8_port`; 0 points a link
// at RefusingPort(). Whether a link is used is the caller's SendK7 / SendK8.
inline std::string OwnLinksIni(const std::string& main_keys, const std::string& sections = "",
                               int k7_port = 0, int k8_port = 0) {
  std::ostringstream ini;
  ini << "[main]\nhost=127.0.0.1\nK7Port=" << (k7_port ? k7_port : RefusingPort()) << "\n"
      << main_keys
      << "[ServerHost]\nAddress=127.0.0.1\nPort=" << (k8_port ? k8_port : RefusingPort()) << "\n"
      << sections;
  return ini.str();
}

}  // namespace qarn::testing
