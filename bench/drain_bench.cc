// The real driver against loopback servers that answer at once, with both links on:
//  - a backlog of .dd8 and .ddk files drained with ReplayRate=0, while the station sends a
//    live event every 100 ms: the drain's time, and how late each live event reaches each
//    server (from its frame's last byte, which includes the station's 40 ms silence);
//  - the station's acknowledgement of an event frame, from the frame's last byte, with both
//    records stored first.
// Run: build/bin/drain_bench [--benchmark_filter=...]; QARN_DRAIN_FILES sets the backlog per
// link (default 10000).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/byte_order.h"
#include "fakes/child_process.h"
#include "fakes/driver_station_side.h"
#include "fakes/k8_test_server.h"
#include "fakes/loopback_http.h"
#include "fakes/temp_dir.h"
#include "k7/k7_exchange.h"
#include "platform/blocking_tcp_client.h"
#include "platform/pseudo_terminal.h"
#include "platform/tcp_listener.h"
#include "station/station_frames.h"

namespace qarn {
namespace {

using Steady = std::chrono::steady_clock;
constexpr int32_t kObjectBase = 40000;  // FirstNumber 4

// A K7 server that reads everything at once and notes when each station event arrived.
class K7Reader {
 public:
  K7Reader() {
    if (listener_.Listen("127.0.0.1", 0) != 0) std::abort();  // no loopback: nothing to run
    thread_ = std::thread([this] { Run(); });
  }
  ~K7Reader() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return listener_.port(); }
  size_t events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::map<int32_t, Steady::time_point> first_seen() const {
    std::lock_guard lock(mutex_);
    return first_seen_;
  }

 private:
  void Run() {
    while (!stop_) {
      auto connection = listener_.Accept(20);
      if (!connection) continue;
      connection->SetReadTimeout(20);
      K7UnitBuffer buffer;
      uint8_t bytes[65536];
      while (!stop_) {
        size_t got = 0;
        const int error = connection->ReadExactly(bytes, sizeof bytes, &got);
        buffer.Append(ByteView(bytes, got));
        const auto now = Steady::now();
        while (auto unit = buffer.Next()) {
          if ((*unit)[2] != kK7StationEvent) continue;
          std::lock_guard lock(mutex_);
          ++events_;
          first_seen_.emplace(ParseEventFrame(*unit).object_number, now);
        }
        if (error != 0 && error != kSocketTimedOut) break;
      }
    }
  }

  BlockingTcpListener listener_;
  mutable std::mutex mutex_;
  size_t events_ = 0;
  std::map<int32_t, Steady::time_point> first_seen_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::optional<Bytes> AckingServer(const K8TestServer::Received& r) {
  if (r.header.type == kK8Hello) return BuildK8Packet(kK8PollEnable, ByteView(), 0);
  return K8TestServer::DefaultReply(r);
}

// The driver in a directory of its own, its station on a pseudo-terminal.
struct Rig {
  explicit Rig(const std::string& extra_main) {
    std::string error;
    if (!pty.Open(&error)) std::abort();
    dir.Write("sqarn.ini",
              testing::DriverTestIni(k7.port(), k8.port(), pty.slave_path(), extra_main));
  }
  bool Start() {
    driver = std::make_unique<testing::ChildProcess>(
        QARN_DRIVER_PATH, std::vector<std::string>{"--headless"}, dir.path());
    for (int i = 0; i < 200; ++i) {  // the first poll is answered with the clock frame
      Write(kPollFrame);
      if (testing::ReadUntil(pty.master_fd(), in, Bytes{0x84, 0x01},
                             std::chrono::milliseconds(20))) {
        return true;
      }
    }
    return false;
  }
  // Reads what the driver wrote, so that its output pipes never fill.
  void Pump() { driver->WaitFor(1, "\x01", 1); }
  void Write(ByteView frame) {
    if (write(pty.master_fd(), frame.data(), frame.size()) < 0) std::abort();
  }
  // Sends an event frame; the moment its last byte went, or nothing when no acknowledgement
  // came back within 10 s.
  std::optional<Steady::time_point> SendEvent(uint16_t object, double* latency_ms = nullptr) {
    Write(BuildStationEventFrame(object, 0x30, 1));
    const auto sent = Steady::now();
    if (!testing::ReadUntil(pty.master_fd(), in, kAckFrame, std::chrono::seconds(10))) {
      return std::nullopt;
    }
    if (latency_ms) {
      *latency_ms = std::chrono::duration<double, std::milli>(Steady::now() - sent).count();
    }
    return sent;
  }
  size_t SpoolFiles() const {
    size_t n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir.path(), ec)) {
      const auto ext = e.path().extension();
      n += ext == ".dd8" || ext == ".ddk";
    }
    return n;
  }

  testing::TempDir dir;
  PseudoTerminal pty;
  K7Reader k7;
  K8TestServer k8{AckingServer};
  std::unique_ptr<testing::ChildProcess> driver;
  Bytes in;
};

std::map<int32_t, Steady::time_point> K8FirstSeen(const K8TestServer& k8) {
  std::map<int32_t, Steady::time_point> seen;
  for (const auto& r : k8.received()) {
    if (r.header.type != kK8StationEventType || r.packet.size() < kK8PacketHeaderSize + 4) {
      continue;
    }
    seen.emplace(GetI32(r.packet.data() + kK8PacketHeaderSize), r.when);
  }
  return seen;
}

double Percentile(std::vector<double> v, int p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, v.size() * static_cast<size_t>(p) / 100)];
}

void BM_DrainWithLiveEvents(benchmark::State& state) {
  const char* files_env = std::getenv("QARN_DRAIN_FILES");
  const int files = files_env ? std::atoi(files_env) : 10000;
  Rig rig("ReplayRate=" + std::to_string(state.range(0)) + "\n");
  const std::string dd8 = std::string("\x1C\x00\x00\x03", 4);
  for (int i = 0; i < files; ++i) {
    char name[32];
    const StationEvent old{i + 1, 2, 0x30, 40603.5};
    std::snprintf(name, sizeof name, "%08X", 0x10000000 + i);
    const K8Event record = BuildK8Event(old);
    std::ofstream(rig.dir / (std::string(name) + ".dd8"), std::ios::binary)
        << dd8 << std::string(record.begin(), record.end());
    const K7Frame unit = BuildEventFrame(old);
    std::ofstream(rig.dir / (std::string(name) + "_-1.ddk"), std::ios::binary)
        << std::string(unit.begin(), unit.end());
  }
  double drain_s = 0;
  std::vector<double> k7_late, k8_late;
  for (auto _ : state) {
    const auto start = Steady::now();
    if (!rig.Start()) return state.SkipWithError("the driver never answered the station");
    std::map<int32_t, Steady::time_point> sent_at;  // the live events' last bytes
    uint16_t next = 1;
    while (rig.SpoolFiles() > 0 && Steady::now() - start < std::chrono::minutes(10)) {
      const auto sent = rig.SendEvent(next);
      if (!sent) return state.SkipWithError("an event was not acknowledged within 10 s");
      sent_at[kObjectBase + next] = *sent;
      ++next;
      rig.Pump();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    drain_s = std::chrono::duration<double>(Steady::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the last live ones land
    const auto k7_seen = rig.k7.first_seen();
    const auto k8_seen = K8FirstSeen(rig.k8);
    for (const auto& [object, at] : sent_at) {
      const auto a = k7_seen.find(object), b = k8_seen.find(object);
      if (a != k7_seen.end())
        k7_late.push_back(std::chrono::duration<double, std::milli>(a->second - at).count());
      if (b != k8_seen.end())
        k8_late.push_back(std::chrono::duration<double, std::milli>(b->second - at).count());
    }
    rig.driver->Signal(SIGTERM);
    rig.driver->Wait();
  }
  state.counters["files_per_link"] = files;
  state.counters["drain_s"] = drain_s;
  state.counters["live"] = static_cast<double>(k8_late.size());
  state.counters["k7_live_p99_ms"] = Percentile(k7_late, 99);
  state.counters["k8_live_p99_ms"] = Percentile(k8_late, 99);
  state.counters["k7_live_median_ms"] = Percentile(k7_late, 50);
  state.counters["k8_live_median_ms"] = Percentile(k8_late, 50);
}
BENCHMARK(BM_DrainWithLiveEvents)
    ->ArgName("rate")
    ->Arg(0)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

// The station's acknowledgement with both records stored first; with `scraped`, the metrics
// are on and scraped every 100 ms while 4 clients hold connections to them that send nothing
// and 4 more send a request that is no GET /metrics every 10 ms: the acknowledgement must not
// move.
void BM_AckLatencyBothLinksStored(benchmark::State& state) {
  const bool scraped = state.range(0) != 0;
  int metrics_port = 0;
  if (scraped) {
    TcpListener free_port;  // the system's pick, let go for the driver to take
    if (free_port.Listen("127.0.0.1", 0) != 0) return state.SkipWithError("no loopback port");
    metrics_port = free_port.port();
  }
  Rig rig(scraped ? "MetricsPort=" + std::to_string(metrics_port) + "\n" : std::string());
  if (!rig.Start()) return state.SkipWithError("the driver never answered the station");
  std::atomic<bool> stop{false};
  std::atomic<int> scrapes{0};
  std::vector<std::thread> load;
  std::vector<int> idle;
  if (scraped) {
    for (int i = 0; i < 4; ++i) idle.push_back(testing::ConnectLoopback(metrics_port));
    load.emplace_back([&] {
      while (!stop) {
        if (!testing::AskLoopback(metrics_port, testing::kMetricsRequest).empty()) ++scrapes;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
    for (int i = 0; i < 4; ++i) {
      load.emplace_back([&] {
        while (!stop) {
          testing::AskLoopback(metrics_port, "POST /other HTTP/1.1\r\nHost: x\r\n\r\n");
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      });
    }
  }
  std::vector<double> latencies;
  std::mt19937 random(12345);
  for (auto _ : state) {
    for (uint16_t i = 1; i <= 300; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000 + 5000));
      double ms = 0;
      if (!rig.SendEvent(i, &ms)) return state.SkipWithError("an event was not acknowledged");
      latencies.push_back(ms);
      rig.Pump();
    }
  }
  stop = true;
  for (std::thread& t : load) t.join();
  for (int fd : idle)
    if (fd >= 0) close(fd);
  rig.driver->Signal(SIGTERM);
  rig.driver->Wait();
  state.counters["median_ms"] = Percentile(latencies, 50);
  state.counters["p99_ms"] = Percentile(latencies, 99);
  state.counters["max_ms"] = Percentile(latencies, 100);
  if (scraped) state.counters["scrapes"] = scrapes.load();
}
BENCHMARK(BM_AckLatencyBothLinksStored)
    ->ArgName("scraped")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qarn

BENCHMARK_MAIN();
