// The station port's costs: the latency from an event frame's last byte on the line to its
// acknowledgement; the whole driver's wake-ups and CPU while idle with both links up; and
// the time from a device's return to the first acknowledged frame.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <random>
#include <thread>
#include <vector>

#include "fakes/child_process.h"
#include "output/event_sink.h"
#include "output/observer.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/pseudo_terminal.h"
#include "platform/qt_main_loop.h"
#include "platform/termios_serial_device.h"
#include "serial/serial_port_driver.h"
#include "station/station_frames.h"
#include "station/station_protocol.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

// Every allocation of the process is counted, so a poll's share can be seen.
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace qarn {
namespace {

constexpr int kFrames = 200;

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "serial_bench";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

// The events' records go nowhere: the answer alone is measured.
class NoSink final : public EventSink {
 public:
  void DeliverStationEvent(const StationEvent&) override {}
  void SendServiceFrame(uint8_t) override {}
};

// The driver's station port on the slave end of a pseudo-terminal.
struct PtyPort {
  explicit PtyPort(const Clock& clock) : port(device, clock, loop) { App(); }
  bool Open(benchmark::State& state) {
    std::string error;
    if (!pty.Open(&error)) {
      state.SkipWithError(error.c_str());
      return false;
    }
    port.SetPortName(pty.slave_path());
    if (port.OpenPort()) return true;
    state.SkipWithError("the pseudo-terminal does not open");
    return false;
  }

  PosixFileSystem fs;
  QtMainLoop loop;
  PseudoTerminal pty;
  TermiosSerialDevice device;
  SerialPortDriver port;
};

// From the event frame's last byte written on the pseudo-terminal to the acknowledgement
// read back, with the driver's port values and its station protocol answering.
void BM_EventAckLatency(benchmark::State& state) {
  SystemClock clock;
  PtyPort rig(clock);
  NoSink sink;
  StationProtocol station({}, rig.port, sink, NoObserver(), clock, rig.fs, clock.Now());
  if (!rig.Open(state)) return;
  PseudoTerminal& pty = rig.pty;
  QtMainLoop& loop = rig.loop;

  std::vector<double> latencies;
  for (auto _ : state) {
    std::atomic<bool> done{false};
    latencies.clear();
    std::thread station_end([&] {
      std::mt19937 random(12345);
      const int fd = pty.master_fd();
      for (int i = 0; i < kFrames; ++i) {
        // A random phase against the 10 ms poll.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 10000 + 1000));
        const Bytes frame = BuildStationEventFrame(static_cast<uint16_t>(i), 0x0A, 7);
        if (::write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) break;
        const auto sent = std::chrono::steady_clock::now();
        size_t got = 0;
        uint8_t answer[16];
        while (got < kAckFrame.size()) {
          pollfd p{fd, POLLIN, 0};
          if (poll(&p, 1, 1000) <= 0) break;
          const ssize_t n = ::read(fd, answer + got, sizeof answer - got);
          if (n > 0) got += static_cast<size_t>(n);
        }
        const auto acked = std::chrono::steady_clock::now();
        latencies.push_back(std::chrono::duration<double, std::milli>(acked - sent).count());
      }
      done = true;
    });
    loop.RunUntil([&] { return done.load(); });
    station_end.join();
  }
  std::sort(latencies.begin(), latencies.end());
  if (latencies.empty()) return;
  state.counters["frames"] = static_cast<double>(latencies.size());
  state.counters["median_ms"] = latencies[latencies.size() / 2];
  state.counters["p99_ms"] = latencies[(latencies.size() * 99) / 100 - 1];
  state.counters["max_ms"] = latencies.back();
}
BENCHMARK(BM_EventAckLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The driver binary with both links connected to the server simulator and its port on a
// pseudo-terminal behind a link, as /dev/serial/by-id gives one.
class DriverRig {
 public:
  bool Start(benchmark::State& state) {
    char pattern[] = "/tmp/qarn-bench-XXXXXX";
    if (!mkdtemp(pattern)) return Fail(state, "mkdtemp");
    dir_ = pattern;
    server_ = std::make_unique<testing::ChildProcess>(
        QARN_SERVER_SIM_PATH, std::vector<std::string>{"--k7-port", "0", "--k8-port", "0"}, dir_,
        /*pipe_input=*/true);
    if (!server_->WaitFor(1, "K8 listening on 127.0.0.1:", 5000)) return Fail(state, "server sim");
    server_->WaitFor(1, "\n", 500);
    const int k7 = PortAfter(server_->out(), "K7: listening on 127.0.0.1:");
    const int k8 = PortAfter(server_->out(), "K8 listening on 127.0.0.1:");
    std::string error;
    if (!pty_->Open(&error)) return Fail(state, error.c_str());
    link_ = dir_ + "/station";
    if (symlink(pty_->slave_path().c_str(), link_.c_str()) != 0) return Fail(state, "symlink");
    std::ofstream(dir_ + "/sqarn.ini")
        << "[main]\nComPort=COM1\nSetClock=0\nhost=127.0.0.1\nSendK7=1\nK7Port=" << k7
        << "\nSendK8=1\n[ServerHost]\nAddress=127.0.0.1\nPort=" << k8 << "\n[ports]\nCOM1=" << link_
        << "\n";
    driver_ = std::make_unique<testing::ChildProcess>(QARN_DRIVER_PATH,
                                                      std::vector<std::string>{"--headless"}, dir_);
    if (!driver_->WaitFor(2, "K7: connected", 10000)) return Fail(state, "K7 never connected");
    if (!server_->WaitFor(1, "K8 connection from", 10000)) return Fail(state, "no K8 link");
    return true;
  }
  ~DriverRig() {
    if (driver_) {
      driver_->Signal(SIGTERM);
      driver_->Wait();
    }
    if (server_) {
      server_->Signal(SIGTERM);
      server_->Wait();
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  // Context switches of every thread of the driver (or of its main thread only), and its
  // CPU time in ticks.
  long WakeUps(bool main_thread_only = false) const {
    long total = 0;
    const std::string pid = std::to_string(driver_->pid());
    const std::string tasks = "/proc/" + pid + "/task";
    for (const auto& t : std::filesystem::directory_iterator(tasks)) {
      if (main_thread_only && t.path().filename() != pid) continue;
      std::ifstream status(t.path() / "status");
      std::string key;
      long value = 0;
      while (status >> key) {
        if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
          status >> value;
          total += value;
        }
      }
    }
    return total;
  }
  long CpuTicks() const {
    std::ifstream stat("/proc/" + std::to_string(driver_->pid()) + "/stat");
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
  }

  // Sends one event frame and waits up to `wait_ms` for its acknowledgement.
  bool EventAcknowledged(int master_fd, int wait_ms) {
    const Bytes frame = BuildStationEventFrame(7, 0x0A, 7);
    if (::write(master_fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
      return false;
    }
    Bytes in;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (std::chrono::steady_clock::now() < until) {
      pollfd p{master_fd, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      uint8_t chunk[64];
      const ssize_t n = ::read(master_fd, chunk, sizeof chunk);
      if (n > 0) in.insert(in.end(), chunk, chunk + n);
      if (std::search(in.begin(), in.end(), kAckFrame.begin(), kAckFrame.end()) != in.end()) {
        return true;
      }
    }
    return false;
  }

  std::unique_ptr<PseudoTerminal> pty_ = std::make_unique<PseudoTerminal>();
  std::string link_;

 private:
  static int PortAfter(const std::string& text, const std::string& prefix) {
    const size_t at = text.find(prefix);
    return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + prefix.size());
  }
  static bool Fail(benchmark::State& state, const char* what) {
    state.SkipWithError(what);
    return false;
  }

  std::string dir_;
  std::unique_ptr<testing::ChildProcess> server_;
  std::unique_ptr<testing::ChildProcess> driver_;
};

// Idle: port open, both links connected and polling, no station traffic. Wake-ups are the
// context switches of all the driver's threads (/proc/<pid>/task/*/status), per second.
void BM_DriverIdle(benchmark::State& state) {
  DriverRig rig;
  if (!rig.Start(state)) return;
  rig.EventAcknowledged(rig.pty_->master_fd(), 2000);  // the port answers
  constexpr int kSeconds = 5;
  for (auto _ : state) {
    const long wake0 = rig.WakeUps(), main0 = rig.WakeUps(true), cpu0 = rig.CpuTicks();
    std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
    const long wakes = rig.WakeUps() - wake0, main = rig.WakeUps(true) - main0;
    const long cpu = rig.CpuTicks() - cpu0;
    state.counters["wakeups_per_s"] = static_cast<double>(wakes) / kSeconds;
    state.counters["main_thread_per_s"] = static_cast<double>(main) / kSeconds;
    state.counters["cpu_percent"] =
        100.0 * static_cast<double>(cpu) / static_cast<double>(sysconf(_SC_CLK_TCK)) / kSeconds;
  }
}
BENCHMARK(BM_DriverIdle)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The station's adapter goes (its line hangs up) and a new one comes under the same name:
// from the new device's appearance to the first event frame acknowledged on it.
void BM_DeviceReturnToFirstAck(benchmark::State& state) {
  DriverRig rig;
  if (!rig.Start(state)) return;
  std::unique_ptr<PseudoTerminal> current = std::move(rig.pty_);
  if (!rig.EventAcknowledged(current->master_fd(), 2000)) {
    state.SkipWithError("the driver does not answer");
    return;
  }
  std::vector<double> times;
  for (auto _ : state) {
    current->CloseMaster();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the driver notices
    auto next = std::make_unique<PseudoTerminal>();
    std::string error;
    if (!next->Open(&error)) break;
    const std::string temp = rig.link_ + ".new";
    if (symlink(next->slave_path().c_str(), temp.c_str()) != 0) break;
    const auto appeared = std::chrono::steady_clock::now();
    std::rename(temp.c_str(), rig.link_.c_str());
    while (!rig.EventAcknowledged(next->master_fd(), 100)) {
      if (std::chrono::steady_clock::now() - appeared > std::chrono::seconds(15)) break;
    }
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - appeared)
            .count());
    current = std::move(next);
  }
  if (times.empty()) return;
  std::sort(times.begin(), times.end());
  state.counters["median_ms"] = times[times.size() / 2];
  state.counters["max_ms"] = times.back();
}
BENCHMARK(BM_DeviceReturnToFirstAck)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace qarn

BENCHMARK_MAIN();
