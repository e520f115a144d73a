// Watches the driver's default server ports while the suite runs: no test may let a driver
// greet whatever listens on 127.0.0.1:7788 (K7) or 127.0.0.1:12543 (K8) on this machine.
//
//   default_port_guard hold <state-dir>   listens on each default port that is free, in a
//                                         process of its own that records every connection
//   default_port_guard check <state-dir>  ends that process; fails when anything connected
//
// CTest runs `hold` before the first test and `check` after the last (a fixture). A port that
// something else of the machine holds is said and left alone; with both taken, `check` skips.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kPorts[] = {7788, 12543};
constexpr int kSkipped = 77;  // the cleanup test's SKIP_RETURN_CODE
// A guard whose suite was interrupted must not keep a real server off its port for long.
constexpr auto kLongestWatch = std::chrono::hours(2);

std::filesystem::path Path(const char* dir, const char* name) {
  return std::filesystem::path(dir) / name;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Running: a process that has ended but is not reaped yet (a zombie) is not.
bool Alive(pid_t pid) {
  if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) return false;
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t name_end = stat.rfind(')');
  return name_end == std::string::npos || stat.compare(name_end, 3, ") Z") != 0;
}

// The watcher of an earlier `hold`, if it still runs (a pid reused since is not it).
pid_t GuardPid(const char* dir) {
  const std::string text = ReadFile(Path(dir, "pid"));
  if (text.empty()) return 0;
  const pid_t pid = static_cast<pid_t>(std::stol(text));
  const std::string command = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
  return command.find("default_port_guard") != std::string::npos ? pid : 0;
}

// -1 with `why` when the port cannot be had.
int ListenOn(int port, std::string* why) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;  // a connection this guard closed must not keep it off the port next time
  if (fd >= 0) (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(port));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 64)) {
    *why = std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

volatile sig_atomic_t stopped = 0;
void OnTerm(int) { stopped = 1; }

// Accepts and records every connection until SIGTERM, the suite's end or the longest watch.
void Watch(const std::vector<std::pair<int, int>>& listeners, const std::string& log_path,
           pid_t suite) {
  signal(SIGTERM, OnTerm);
  const auto until = std::chrono::steady_clock::now() + kLongestWatch;
  std::vector<pollfd> fds;
  for (const auto& [port, fd] : listeners) fds.push_back({fd, POLLIN, 0});
  while (!stopped && Alive(suite) && std::chrono::steady_clock::now() < until) {
    if (poll(fds.data(), fds.size(), 1000) <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      sockaddr_in peer{};
      socklen_t size = sizeof peer;
      const int connection = accept(fds[i].fd, reinterpret_cast<sockaddr*>(&peer), &size);
      if (connection < 0) continue;
      close(connection);
      const std::time_t now = std::time(nullptr);
      char when[32];
      std::strftime(when, sizeof when, "%H:%M:%S", std::localtime(&now));
      std::ofstream(log_path, std::ios::app)
          << when << " a connection to 127.0.0.1:" << listeners[i].first << " from port "
          << ntohs(peer.sin_port) << "\n";
    }
  }
}

int Hold(const char* dir) {
  std::filesystem::create_directories(dir);
  if (Alive(GuardPid(dir))) return 0;  // already watching (a repeated run of the fixture)
  std::filesystem::remove(Path(dir, "connections"));
  std::vector<std::pair<int, int>> listeners;
  std::ostringstream report;
  for (const int port : kPorts) {
    std::string why;
    const int fd = ListenOn(port, &why);
    if (fd >= 0) {
      listeners.emplace_back(port, fd);
      report << "watching 127.0.0.1:" << port << "\n";
    } else {
      report << "not watching 127.0.0.1:" << port << ", taken by something else of this machine ("
             << why << ")\n";
    }
  }
  std::ofstream(Path(dir, "ports")) << report.str();
  std::fputs(report.str().c_str(), stdout);
  if (listeners.empty()) return 0;
  const pid_t suite = getppid();
  std::fflush(stdout);
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    setsid();
    // CTest waits for its test's output to close: the watcher keeps none of it.
    const int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
    Watch(listeners, Path(dir, "connections").string(), suite);
    _exit(0);
  }
  std::ofstream(Path(dir, "pid")) << child << "\n";
  return 0;
}

int Check(const char* dir) {
  const std::string ports = ReadFile(Path(dir, "ports"));
  std::fputs(ports.c_str(), stdout);
  const pid_t guard = GuardPid(dir);
  if (Alive(guard)) {
    kill(guard, SIGTERM);
    for (int i = 0; i < 300 && Alive(guard); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  std::filesystem::remove(Path(dir, "pid"));
  const std::string connections = ReadFile(Path(dir, "connections"));
  if (!connections.empty()) {
    std::printf("FAILED: a test let something connect to a default server port:\n%s",
                connections.c_str());
    return 1;
  }
  if (ports.rfind("watching", 0) != 0 && ports.find("\nwatching") == std::string::npos) {
    std::printf("skipped: no default port was free to watch\n");
    return kSkipped;
  }
  std::printf("nothing connected to a watched port\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "hold") == 0) return Hold(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "check") == 0) return Check(argv[2]);
  std::fprintf(stderr, "usage: default_port_guard hold|check <state-dir>\n");
  return 2;
}
