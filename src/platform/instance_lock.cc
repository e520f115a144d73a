#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qarn {
namespace {

pid_t ReadPid(int fd) {
  char buf[32] = {};
  const ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return 0;
  long pid = 0;
  for (ssize_t i = 0; i < n && buf[i] >= '0' && buf[i] <= '9'; ++i) pid = pid * 10 + (buf[i] - '0');
  return static_cast<pid_t>(pid);
}

}  // namespace

InstanceLock::Result InstanceLock::Acquire(const std::string& path, pid_t* holder,
                                           std::string* error) {
  *holder = 0;
  // A holder that is leaving removes the file before it lets go: a lock taken on a file that
  // no longer has the name is no lock, so try again on the new file.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      *error = "cannot open " + path + ": " + std::strerror(errno);
      return Result::kFailed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      if (err == EWOULDBLOCK) *holder = ReadPid(fd);
      ::close(fd);
      if (err == EWOULDBLOCK) return Result::kHeld;
      *error = "cannot lock " + path + ": " + std::strerror(err);
      return Result::kFailed;
    }
    struct stat by_fd {
    }, by_name{};
    if (fstat(fd, &by_fd) != 0 || stat(path.c_str(), &by_name) != 0 ||
        by_fd.st_dev != by_name.st_dev || by_fd.st_ino != by_name.st_ino) {
      ::close(fd);
      continue;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) {
      *error = "cannot write " + path + ": " + std::strerror(errno);
      ::close(fd);
      return Result::kFailed;
    }
    path_ = path;
    fd_ = fd;
    return Result::kAcquired;
  }
  *error = "cannot lock " + path + ": it keeps being replaced";
  return Result::kFailed;
}

InstanceLock::~InstanceLock() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());
  ::close(fd_);
}

}  // namespace qarn
