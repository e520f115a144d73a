#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file_system.h"

namespace qarn {
namespace {

std::string ErrnoText(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool WriteFully(int fd, ByteView data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot
  ::close(fd);
  return ok;
}

// rename(2) that fails with EEXIST instead of replacing.
int RenameExclusive(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // The file system has no RENAME_NOREPLACE: link(2) also refuses an existing name.
  if (::link(from, to) != 0) return -1;
  ::unlink(from);
  return 0;
}

// Writes and flushes the freshly opened temporary file `fd`, and closes it; on failure the
// temporary is removed.
bool WriteTemporary(int fd, const std::string& temp, ByteView data, std::string* error) {
  if (fd < 0) {
    if (error) *error = ErrnoText("cannot create", temp);
    return false;
  }
  bool ok = WriteFully(fd, data);
  if (!ok && error) *error = ErrnoText("cannot write", temp);
  if (ok && ::fsync(fd) != 0) {
    if (error) *error = ErrnoText("cannot flush", temp);
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    if (error) *error = ErrnoText("cannot write", temp);
    ok = false;
  }
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace

void SplitPath(const std::string& path, std::string* dir, std::string* name) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    *dir = ".";
    *name = path;
  } else {
    *dir = slash == 0 ? "/" : path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

bool WildcardMatch(const std::string& pattern, const std::string& name) {
  size_t p = 0, n = 0, star = std::string::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool PosixFileSystem::Append(const std::string& path, ByteView data, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (error) *error = ErrnoText("cannot open", path);
    return false;
  }
  const bool ok = WriteFully(fd, data);
  if (!ok && error) *error = ErrnoText("cannot write", path);
  if (::close(fd) != 0 && ok) {
    if (error) *error = ErrnoText("cannot write", path);
    return false;
  }
  return ok;
}

bool PosixFileSystem::ReadAll(const std::string& path, Bytes* out, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = ErrnoText("cannot open", path);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (error) *error = "not a regular file: " + path;
    ::close(fd);
    return false;
  }
  out->clear();
  out->reserve(static_cast<size_t>(st.st_size));
  uint8_t buf[4096];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = ErrnoText("cannot read", path);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out->insert(out->end(), buf, buf + n);
  }
  ::close(fd);
  return true;
}

bool PosixFileSystem::Remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return false;
  std::string dir, name;
  SplitPath(path, &dir, &name);
  SyncDirectory(dir);
  return true;
}

bool PosixFileSystem::RemoveUnflushed(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

void PosixFileSystem::FlushDirectory(const std::string& dir) {
  // A removal that does not reach the disk costs a duplicate at most.
  (void)SyncDirectory(dir.empty() ? "." : dir);
}

bool PosixFileSystem::Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::optional<uint64_t> PosixFileSystem::FileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

std::optional<int64_t> PosixFileSystem::ModifiedNs(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

StoreResult PosixFileSystem::CreateDurable(const std::string& path, ByteView data,
                                           std::string* error) {
  if (Exists(path)) return StoreResult::kExists;
  const std::string temp = path + kTemporarySuffix;
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) {
    // Left by an earlier crash: only this process writes spool files here.
    ::unlink(temp.c_str());
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  }
  if (!WriteTemporary(fd, temp, data, error)) return StoreResult::kFailed;
  if (RenameExclusive(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    if (err == EEXIST) return StoreResult::kExists;
    errno = err;
    if (error) *error = ErrnoText("cannot rename to", path);
    return StoreResult::kFailed;
  }
  std::string dir, name;
  SplitPath(path, &dir, &name);
  if (!SyncDirectory(dir)) {
    // The name may not survive a power cut, and the start-up would take what is left of it
    // for a half-written file: not stored. The name goes, so that tries do not pile up files.
    if (error) *error = ErrnoText("cannot flush directory", dir);
    ::unlink(path.c_str());
    return StoreResult::kFailed;
  }
  return StoreResult::kStored;
}

namespace {

// The file a path names once its symbolic links are followed (the last one may dangle).
std::string FollowLinks(std::string path) {
  for (int depth = 0; depth < 40; ++depth) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096), '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0) return path;
    target.resize(static_cast<size_t>(n));
    if (target[0] != '/') {
      std::string dir, name;
      SplitPath(path, &dir, &name);
      target = dir + "/" + target;
    }
    path = target;
  }
  return path;
}

// Writes over the file itself: for a file whose directory takes no new files, or whose
// owner a new file could not keep. Not atomic, but the file keeps its inode, owner and mode.
bool RewriteInPlace(const std::string& path, ByteView data, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = ErrnoText("cannot open", path);
    return false;
  }
  bool ok = WriteFully(fd, data) && ::ftruncate(fd, static_cast<off_t>(data.size())) == 0 &&
            ::fsync(fd) == 0;
  if (!ok && error) *error = ErrnoText("cannot write", path);
  if (::close(fd) != 0 && ok) {
    if (error) *error = ErrnoText("cannot write", path);
    ok = false;
  }
  return ok;
}

}  // namespace

bool PosixFileSystem::ReplaceDurable(const std::string& path, ByteView data, std::string* error) {
  // A link stays a link: its target is the file that changes, keeping its mode and owner.
  const std::string target = FollowLinks(path);
  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  const std::string temp = target + kTemporarySuffix;
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 && existed && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    return RewriteInPlace(target, data, error);
  }
  if (fd >= 0 && existed) {
    const bool owner_kept = (old.st_uid == ::geteuid() && old.st_gid == ::getegid()) ||
                            ::fchown(fd, old.st_uid, old.st_gid) == 0;
    if (!owner_kept) {
      ::close(fd);
      ::unlink(temp.c_str());
      return RewriteInPlace(target, data, error);
    }
    ::fchmod(fd, old.st_mode & 07777);
  }
  if (!WriteTemporary(fd, temp, data, error)) {
    if (fd >= 0) ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    if (error) *error = ErrnoText("cannot rename to", target);
    ::unlink(temp.c_str());
    return false;
  }
  std::string dir, name;
  SplitPath(target, &dir, &name);
  if (!SyncDirectory(dir) && error) *error = ErrnoText("cannot flush directory", dir);
  return true;
}

std::vector<std::string> PosixFileSystem::FindAll(const std::string& pattern) {
  std::string dir, mask;
  SplitPath(pattern, &dir, &mask);
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != ".." && WildcardMatch(mask, name)) names.push_back(name);
  }
  ::closedir(d);
  return names;
}

std::vector<FileSystem::Entry> PosixFileSystem::ListEntries(const std::string& pattern) {
  std::string dir, mask;
  SplitPath(pattern, &dir, &mask);
  std::vector<Entry> entries;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return entries;
  const int dir_fd = ::dirfd(d);
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || !WildcardMatch(mask, name)) continue;
    Entry entry{name, 0, false};
    struct stat st {};
    if (::fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      entry.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
      entry.regular = S_ISREG(st.st_mode);
    }
    entries.push_back(std::move(entry));
  }
  ::closedir(d);
  return entries;
}

bool PosixFileSystem::RenameNoReplace(const std::string& from, const std::string& to) {
  if (RenameExclusive(from.c_str(), to.c_str()) != 0) return false;
  std::string dir, name;
  SplitPath(to, &dir, &name);
  SyncDirectory(dir);
  return true;
}

}  // namespace qarn
