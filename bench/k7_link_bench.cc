// The K7 link on loopback: units per second to a server that reads at once, the cost of
// cutting an 8 MB burst into units, and how late a 10 ms timer (the station port's poll, which
// answers the station's frames) fires while such a burst comes in from the server.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "fakes/qt_test_loop.h"
#include "k7/k7_exchange.h"
#include "output/event_sink.h"
#include "output/observer.h"
#include "platform/async_tcp_client.h"
#include "platform/blocking_tcp_client.h"
#include "platform/pseudo_terminal.h"
#include "platform/termios_serial_device.h"
#include "serial/serial_port_driver.h"
#include "station/station_frames.h"
#include "station/station_protocol.h"

namespace qarn {
namespace {

using Steady = std::chrono::steady_clock;

// A server thread: accepts one connection, then reads and discards (`burst` empty) or sends
// `burst` at once (again and again with `repeat`) and reads whatever comes.
class BenchServer {
 public:
  explicit BenchServer(Bytes burst = {}, bool repeat = false)
      : burst_(std::move(burst)), repeat_(repeat) {
    if (listener_.Listen("127.0.0.1", 0) != 0) std::abort();  // no loopback: nothing to measure
    thread_ = std::thread([this] { Run(); });
  }
  ~BenchServer() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return listener_.port(); }
  uint64_t received() const { return received_.load(); }

 private:
  void Run() {
    std::unique_ptr<PosixBlockingTcpClient> connection;
    while (!stop_ && !(connection = listener_.Accept(20))) {
    }
    if (!connection) return;
    connection->SetReadTimeout(20);
    // A write the client stopped taking ends the burst; what it read is what is measured.
    if (!burst_.empty()) (void)connection->WriteAll(burst_);
    while (repeat_ && !stop_ && connection->WriteAll(burst_) == 0) {
    }
    Bytes buffer(kK7FrameSize * 64);
    while (!stop_) {
      size_t got = 0;
      const int error = connection->ReadExactly(buffer.data(), buffer.size(), &got);
      received_ += got;
      if (error != 0 && error != kSocketTimedOut) return;
    }
  }

  Bytes burst_;
  bool repeat_;
  BlockingTcpListener listener_;
  std::atomic<uint64_t> received_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class SteadyClock final : public Clock {
 public:
  uint32_t TickMs() const override { return clock_.TickMs(); }
  CivilTime LocalNow() const override { return clock_.LocalNow(); }
  bool SetLocalTime(const CivilTime&, std::string*) override { return false; }

 private:
  SystemClock clock_;
};

// A link to the bench server, up once made; it counts the server's units.
struct Link final : K7Exchange::Listener {
  explicit Link(int port) {
    EnsureQtApplication();
    client.SetHost("127.0.0.1");
    client.SetPort(static_cast<uint16_t>(port));
    exchange = std::make_unique<K7Exchange>(client, clock, K7Exchange::Settings{}, *this);
    exchange->KeepUp();
    RunLoopUntil(loop, [this] { return up; });
  }
  void LinkChanged(bool up) override { this->up = up; }
  void UnitReceived() override { ++handled; }

  SteadyClock clock;
  QtMainLoop loop;
  AsyncTcpClient client{loop};
  std::unique_ptr<K7Exchange> exchange;
  bool up = false;
  size_t handled = 0;
};

// The events' records go nowhere: the answer alone is measured.
class NoSink final : public EventSink {
 public:
  void DeliverStationEvent(const StationEvent&) override {}
  void SendServiceFrame(uint8_t) override {}
};

void BM_UnitsToAServerReadingAtOnce(benchmark::State& state) {
  BenchServer server;
  Link link(server.port());
  const K7Frame unit = BuildEventFrame(StationEvent{40012, 3, 0x0A, 40603.5});
  int64_t sent = 0;
  int64_t window_full = 0;
  for (auto _ : state) {
    if (link.exchange->SendUnit(unit, std::string()) == kK7FrameSize) {
      ++sent;
    } else {
      ++window_full;  // 512 units wait for the server's TCP: let it catch up
      link.loop.RunUntil([] { return true; });
    }
  }
  state.counters["units/s"] =
      benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
  state.counters["window_full"] = static_cast<double>(window_full);
}
BENCHMARK(BM_UnitsToAServerReadingAtOnce)->UseRealTime();

Bytes Burst(size_t units) {
  Bytes burst;
  burst.reserve(units * kK7FrameSize);
  const K7Frame unit = BuildServerUnit(99);
  for (size_t i = 0; i < units; ++i) burst.insert(burst.end(), unit.begin(), unit.end());
  return burst;
}

constexpr size_t kBurstUnits = (8 << 20) / kK7FrameSize;

// As the client hands it over: in read slices.
void BM_Cut8MBBurst(benchmark::State& state) {
  const Bytes burst = Burst(kBurstUnits);
  const size_t slice = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    K7UnitBuffer buffer;
    size_t units = 0;
    for (size_t at = 0; at < burst.size(); at += slice) {
      buffer.Append(ByteView(burst).subspan(at, std::min(slice, burst.size() - at)));
      while (auto unit = buffer.Next()) units += (*unit)[2] == 99;
    }
    benchmark::DoNotOptimize(units);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * burst.size()));
}
BENCHMARK(BM_Cut8MBBurst)
    ->Arg(AsyncTcpClient::kMaxReadBatch)
    ->Arg(8 << 20)
    ->Unit(benchmark::kMillisecond);

// The server sends 8 MB of units at once; a 10 ms timer on the same loop notes its worst gap.
void BM_TimerGapDuring8MBBurst(benchmark::State& state) {
  const Bytes burst = Burst(kBurstUnits);
  double worst_gap_ms = 0;
  for (auto _ : state) {
    BenchServer server(burst);
    Link link(server.port());
    Steady::time_point last = Steady::now();
    const MainLoop::Id timer = link.loop.StartTimer(10, [&] {
      const Steady::time_point now = Steady::now();
      worst_gap_ms =
          std::max(worst_gap_ms, std::chrono::duration<double, std::milli>(now - last).count());
      last = now;
    });
    RunLoopUntil(link.loop, [&] { return link.handled == kBurstUnits; });
    link.loop.StopTimer(timer);
    if (link.handled != kBurstUnits) state.SkipWithError("the burst was not handled whole");
  }
  state.counters["worst_10ms_timer_gap_ms"] = worst_gap_ms;
}
BENCHMARK(BM_TimerGapDuring8MBBurst)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

bool WriteAll(int fd, const Bytes& bytes) {
  return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// The station's end reads the 3-byte acknowledgement; false after a second without it.
bool ReadAck(int fd) {
  uint8_t answer[kAckFrame.size()];
  for (size_t got = 0; got < sizeof answer;) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 1000) <= 0) return false;
    const ssize_t n = ::read(fd, answer + got, sizeof answer - got);
    got += n > 0 ? static_cast<size_t>(n) : 0;
  }
  return true;
}

// Station event frames on a pseudo-terminal, answered by the driver's port and protocol on the
// same loop as the K7 client, while the server sends 8 MB bursts back to back (argument 1) or
// nothing (0): from an event frame's last byte to its acknowledgement read back.
void BM_StationAckDuringBursts(benchmark::State& state) {
  BenchServer server(state.range(0) ? Burst(kBurstUnits) : Bytes{}, true);
  Link link(server.port());
  PosixFileSystem fs;
  TermiosSerialDevice device;
  SerialPortDriver port(device, link.clock, link.loop);
  NoSink sink;
  StationProtocol station({}, port, sink, NoObserver(), link.clock, fs, link.clock.Now());
  PseudoTerminal pty;
  std::string error;
  if (!pty.Open(&error)) return state.SkipWithError(error.c_str());
  port.SetPortName(pty.slave_path());
  if (!port.OpenPort()) return state.SkipWithError("the pseudo-terminal does not open");

  std::vector<double> latencies;
  for (auto _ : state) {
    std::atomic<bool> done{false};
    std::thread station_end([&] {
      std::mt19937 random(12345);
      const int fd = pty.master_fd();
      for (int i = 0; i < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 10000 + 1000));
        const Bytes frame = BuildStationEventFrame(static_cast<uint16_t>(i), 0x0A, 7);
        const auto sent = Steady::now();
        if (!WriteAll(fd, frame) || !ReadAck(fd)) break;
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Steady::now() - sent).count());
      }
      done = true;
    });
    link.loop.RunUntil([&] { return done.load(); });
    station_end.join();
  }
  std::sort(latencies.begin(), latencies.end());
  state.counters["server_units_handled"] = static_cast<double>(link.handled);
  state.counters["median_ms"] = latencies[latencies.size() / 2];
  state.counters["max_ms"] = latencies.back();
}
BENCHMARK(BM_StationAckDuringBursts)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace qarn

BENCHMARK_MAIN();
