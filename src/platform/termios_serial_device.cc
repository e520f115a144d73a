#include "platform/termios_serial_device.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/termios_custom_speed.h"

namespace qarn {
namespace {

constexpr int kWriteWaitMs = 10;

bool SpeedConstant(uint32_t bps, speed_t* speed) {
  struct Entry {
    uint32_t bps;
    speed_t speed;
  };
  static constexpr Entry kSpeeds[] = {
      {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
      {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
      {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
  };
  for (const Entry& e : kSpeeds) {
    if (e.bps == bps) {
      *speed = e.speed;
      return true;
    }
  }
  return false;
}

std::string GroupOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::string();
  std::vector<char> buffer(16384);
  group g{};
  group* found = nullptr;
  if (getgrgid_r(st.st_gid, &g, buffer.data(), buffer.size(), &found) == 0 && found) {
    return found->gr_name;
  }
  return std::to_string(st.st_gid);
}

}  // namespace

std::vector<DeviceHolder> OtherHoldersOfSerialDevice(const std::string& path) {
  if (IsPseudoTerminal(path)) return {};
  return FindDeviceHolders(path, "/proc", static_cast<int>(::getpid()));
}

TermiosSerialDevice::TermiosSerialDevice(PortMapping mapping, HolderCheck holders)
    : mapping_(std::move(mapping)), holders_(std::move(holders)) {}

bool TermiosSerialDevice::Fail(DeviceFault fault, std::string detail) {
  error_ = {fault, path_, std::move(detail)};
  return false;
}

TermiosSerialDevice::~TermiosSerialDevice() { Close(); }

bool TermiosSerialDevice::Open(const std::string& port_name) {
  if (fd_ >= 0) return Fail(DeviceFault::kFailed, "already open");
  path_ = SerialDevicePath(port_name, mapping_);
  error_ = {DeviceFault::kNone, path_, std::string()};
  if (path_.empty()) return Fail(DeviceFault::kMissing, "no device name");
  // Asked before opening: opening a line raises DTR under the other program's feet.
  if (holders_) {
    if (const std::vector<DeviceHolder> held = holders_(path_); !held.empty()) {
      return Fail(DeviceFault::kHeld, DescribeHolders(held));
    }
  }
  const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    if (e == ENOENT || e == ENODEV || e == ENXIO)
      return Fail(DeviceFault::kMissing, std::strerror(e));
    if (e == EACCES || e == EPERM) return Fail(DeviceFault::kNoPermission, GroupOf(path_));
    if (e == EBUSY) return Fail(DeviceFault::kHeld, std::string());
    return Fail(DeviceFault::kFailed, std::strerror(e));
  }
  // Only a terminal is a port, and only one program may hold it.
  if (!isatty(fd)) {
    ::close(fd);
    return Fail(DeviceFault::kNotSerial, std::string());
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    ::close(fd);
    if (e == EWOULDBLOCK) return Fail(DeviceFault::kHeld, std::string());
    return Fail(DeviceFault::kFailed, std::strerror(e));
  }
  // Not on a pseudo-terminal: the mode outlives a killed driver there and would lock out
  // its restart; the lock is enough.
  exclusive_ = !IsPseudoTerminal(path_) && ioctl(fd, TIOCEXCL) == 0;
  fd_ = fd;
  int bits = 0;
  has_modem_lines_ = ioctl(fd_, TIOCMGET, &bits) == 0;
  rs485_ = false;
  rts_toggle_ = false;
  failure_.Succeeded();
  return true;
}

void TermiosSerialDevice::Close() {
  if (fd_ < 0) return;
  if (rs485_) {
    serial_rs485 rs485{};
    ioctl(fd_, TIOCSRS485, &rs485);
  }
  if (exclusive_) ioctl(fd_, TIOCNXCL);
  exclusive_ = false;
  ::close(fd_);
  fd_ = -1;
}

bool TermiosSerialDevice::ApplyLineSettings(const LineSettings& s) {
  if (fd_ < 0) return false;
  speed_t speed = B38400;
  const bool custom_speed = !SpeedConstant(s.bits_per_second, &speed);
  if (custom_speed && s.bits_per_second == 0) return Fail(DeviceFault::kRefused, "no line speed");
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return Fail(DeviceFault::kRefused, std::strerror(errno));
  cfmakeraw(&t);
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8;
  t.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  if (tcsetattr(fd_, TCSANOW, &t) != 0) return Fail(DeviceFault::kRefused, std::strerror(errno));
  if (custom_speed && !SetCustomLineSpeed(fd_, s.bits_per_second)) {
    return Fail(DeviceFault::kRefused, std::strerror(errno));
  }

  if (!has_modem_lines_) return true;
  SetModemBit(TIOCM_DTR, s.dtr);
  // RTS only while sending: the kernel's RS-485 mode where the driver has one, else our own
  // toggle around each write.
  serial_rs485 rs485{};
  rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  rs485_ = ioctl(fd_, TIOCSRS485, &rs485) == 0;
  rts_toggle_ = !rs485_;
  if (rts_toggle_) SetModemBit(TIOCM_RTS, false);
  return true;
}

bool TermiosSerialDevice::SetQueueSizes(uint32_t, uint32_t) {
  // The kernel sizes its own queues.
  return fd_ >= 0;
}

bool TermiosSerialDevice::Purge(bool input, bool output) {
  if (fd_ < 0) return false;
  if (!input && !output) return true;
  const int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  return tcflush(fd_, which) == 0;
}

bool TermiosSerialDevice::QueueCounts(uint32_t* in_waiting, uint32_t* out_waiting) {
  int in = 0, out = 0;
  if (fd_ < 0 || ioctl(fd_, FIONREAD, &in) != 0) {
    ReportFailure("cannot count waiting bytes");
    return false;
  }
  if (ioctl(fd_, TIOCOUTQ, &out) != 0) out = 0;
  *in_waiting = in > 0 ? static_cast<uint32_t>(in) : 0;
  *out_waiting = out > 0 ? static_cast<uint32_t>(out) : 0;
  return true;
}

int32_t TermiosSerialDevice::Read(uint8_t* data, uint32_t size) {
  if (fd_ < 0) return -1;
  if (size == 0) return 0;
  const ssize_t n = ::read(fd_, data, size);
  if (n > 0) return static_cast<int32_t>(n);
  if (n < 0 && errno != EAGAIN && errno != EINTR) {
    Fail(errno == EIO ? DeviceFault::kHungUp : DeviceFault::kFailed, std::strerror(errno));
    return -1;
  }
  // Nothing to read: a line that has hung up (or a device that went away) reads as empty
  // for ever while it polls readable.
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
    Fail(DeviceFault::kHungUp, "the line hung up");
    return -1;
  }
  return 0;
}

int32_t TermiosSerialDevice::Write(const uint8_t* data, uint32_t size) {
  if (fd_ < 0) return -1;
  if (rts_toggle_) SetModemBit(TIOCM_RTS, true);
  ssize_t n = ::write(fd_, data, size);
  if (n < 0 && errno == EAGAIN) {
    // The output queue is full: wait a little for room, as a bounded write would.
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, kWriteWaitMs) > 0) n = ::write(fd_, data, size);
  }
  if (rts_toggle_) {
    tcdrain(fd_);
    SetModemBit(TIOCM_RTS, false);
  }
  if (n >= 0) return static_cast<int32_t>(n);
  if (errno == EAGAIN || errno == EINTR) return 0;
  ReportFailure("write failed");
  return -1;
}

bool TermiosSerialDevice::SetDtr(bool on) {
  if (fd_ < 0) return false;
  SetModemBit(TIOCM_DTR, on);
  return true;
}

void TermiosSerialDevice::SetModemBit(int bit, bool on) {
  if (!has_modem_lines_) return;
  ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit);
}

void TermiosSerialDevice::ReportFailure(const char* operation) {
  // Checked first so that a device that has gone costs no allocation per poll.
  if (failure_.failing()) return;
  failure_.Failed(path_ + ": " + operation + ": " + std::strerror(errno));
}

}  // namespace qarn
