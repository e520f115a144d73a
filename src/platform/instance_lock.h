// One driver per working directory: an advisory lock on a file there that holds the holder's
// process id, so that a second driver can name the first.
#pragma once

#include <sys/types.h>

#include <string>

namespace qarn {

class InstanceLock {
 public:
  InstanceLock() = default;
  // Removes the file while still holding the lock, then lets the lock go.
  ~InstanceLock();

  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  enum class Result { kAcquired, kHeld, kFailed };
  // kHeld: another process holds `path`; `*holder` is its process id (0 when unknown).
  // kFailed: the file cannot be made or locked; `*error` says why.
  Result Acquire(const std::string& path, pid_t* holder, std::string* error);

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace qarn
