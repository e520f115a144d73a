// The station port's costs: the latency from an event frame's last byte on the line to its
// acknowledgement, and the allocations of a poll.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <random>
#include <thread>
#include <vector>

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

// The driver's station port on the slave end of a pseudo-terminal.
struct PtyPort {
  explicit PtyPort(const Clock& clock) : port(device, clock, loop) {
    App();
    SetStationPortValues(port);
  }
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
  TermiosSerialDevice device{fs, "no-such-dir/sqarn.ini"};
  SerialPortDriver port;
};

// From the event frame's last byte written on the pseudo-terminal to the acknowledgement
// read back, with the driver's port values and its station protocol answering.
void BM_EventAckLatency(benchmark::State& state) {
  SystemClock clock;
  PtyPort rig(clock);
  StationProtocol::Hooks hooks;
  hooks.send = [&](ByteView frame) { rig.port.Send(frame); };
  hooks.advance_indicator = [] {};
  hooks.deliver_event = [](const StationEvent&) {};
  hooks.send_service_frame = [](uint8_t) {};
  StationProtocol station({}, std::move(hooks), clock, rig.fs, clock.Now());
  rig.port.SetPacketHandler([&](ByteView p) { station.HandleStationPacket(p); });
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

}  // namespace
}  // namespace qarn

BENCHMARK_MAIN();
