#include "platform/tcp_keepalive.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

#include "base/socket_error.h"

namespace qarn {

int EnableDeadPeerDetection(int fd) {
  const struct {
    int level;
    int name;
    int value;
  } kOptions[] = {
      {SOL_SOCKET, SO_KEEPALIVE, 1},
      {IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleS},
      {IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalS},
      {IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes},
      {IPPROTO_TCP, TCP_USER_TIMEOUT, kUserTimeoutMs},
  };
  for (const auto& o : kOptions) {
    if (::setsockopt(fd, o.level, o.name, &o.value, sizeof o.value) != 0) {
      return SocketErrorNumber(errno);
    }
  }
  return 0;
}

}  // namespace qarn
