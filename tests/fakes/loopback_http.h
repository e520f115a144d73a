// A plain HTTP client of 127.0.0.1 for the metrics: a connection, and a request's whole answer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace qarn::testing {

// A connection to 127.0.0.1:`port` whose reads give up after 5 s; -1 when none was made.
inline int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

// The whole answer to `request`, headers and all, until the server closes; empty when nobody
// answered.
inline std::string AskLoopback(int port, const std::string& request) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return {};
  std::string answer;
  if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buf[16384];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return answer;
}

inline constexpr const char* kMetricsRequest =
    "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";

}  // namespace qarn::testing
