#include "platform/pseudo_terminal.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qarn {

bool MakeRawTerminal(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

PseudoTerminal::~PseudoTerminal() {
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
}

void PseudoTerminal::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

bool PseudoTerminal::Open(std::string* error) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    if (error) *error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  char name[256] = {};
  if (ttyname_r(slave, name, sizeof name) != 0 || !MakeRawTerminal(slave)) {
    if (error) *error = std::string("pseudo-terminal: ") + std::strerror(errno);
    ::close(master);
    ::close(slave);
    return false;
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  master_ = master;
  slave_ = slave;
  slave_path_ = name;
  return true;
}

}  // namespace qarn
