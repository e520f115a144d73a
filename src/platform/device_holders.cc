#include "platform/device_holders.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <fstream>

namespace qarn {
namespace {

// Unix98 pseudo-terminal slaves.
constexpr unsigned kPtsMajorFirst = 136;
constexpr unsigned kPtsMajorLast = 143;

bool SameFile(const struct stat& a, const struct stat& b) {
  if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool AllDigits(const char* s) {
  if (!*s) return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

std::string CommandName(const std::string& pid_dir) {
  std::ifstream comm(pid_dir + "/comm");
  std::string name;
  std::getline(comm, name);
  return name.empty() ? "?" : name;
}

}  // namespace

std::vector<DeviceHolder> FindDeviceHolders(const std::string& path, const std::string& proc_root,
                                            int self_pid) {
  std::vector<DeviceHolder> holders;
  struct stat target {};
  if (::stat(path.c_str(), &target) != 0) return holders;
  DIR* proc = ::opendir(proc_root.c_str());
  if (!proc) return holders;
  while (const dirent* p = ::readdir(proc)) {
    if (!AllDigits(p->d_name)) continue;
    const int pid = std::atoi(p->d_name);
    if (pid == self_pid) continue;
    const std::string pid_dir = proc_root + "/" + p->d_name;
    const std::string fd_dir = pid_dir + "/fd";
    DIR* fds = ::opendir(fd_dir.c_str());
    if (!fds) continue;  // gone, or not ours to read
    bool holds = false;
    while (const dirent* f = ::readdir(fds)) {
      if (!AllDigits(f->d_name)) continue;
      struct stat st {};
      if (::stat((fd_dir + "/" + f->d_name).c_str(), &st) == 0 && SameFile(st, target)) {
        holds = true;
        break;
      }
    }
    ::closedir(fds);
    if (holds) holders.push_back({pid, CommandName(pid_dir)});
  }
  ::closedir(proc);
  return holders;
}

bool IsPseudoTerminal(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return m >= kPtsMajorFirst && m <= kPtsMajorLast;
}

std::string DescribeHolders(const std::vector<DeviceHolder>& holders) {
  std::string text;
  for (const DeviceHolder& h : holders) {
    if (!text.empty()) text += ", ";
    text += h.name + " (pid " + std::to_string(h.pid) + ")";
  }
  return text;
}

}  // namespace qarn
