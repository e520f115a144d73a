// The cost of making a station event safe before its acknowledgement: the durable .dd8 alone,
// and a whole event frame from the station protocol to its acknowledgement with its records
// stored first (the links down, as the worst case: nothing else to do), K8 alone and both.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <vector>

#include "output/event_output.h"
#include "output/observer.h"
#include "output/spool_replay.h"
#include "output/spool_writer.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "serial/station_port.h"
#include "station/station_frames.h"
#include "station/station_protocol.h"

namespace qarn {
namespace {

using Steady = std::chrono::steady_clock;

struct Dir {
  Dir()
      : path(std::filesystem::current_path() /
             ("store_bench_" + std::to_string(std::random_device{}()))) {
    std::filesystem::create_directories(path);
  }
  ~Dir() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
};

// The station's line: notes when the acknowledgement is written.
class AckTime final : public StationPort {
 public:
  void SetPortName(const std::string&) override {}
  std::string PortName() const override { return std::string(); }
  bool OpenPort() override { return true; }
  void ClosePort() override {}
  bool IsOpen() const override { return true; }
  size_t Send(ByteView bytes) override {
    acked = Steady::now();
    return bytes.size();
  }
  void SetDtr(bool) override {}

  Steady::time_point acked;
};

void Report(benchmark::State& state, std::vector<double>& micros) {
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  state.counters["max_us"] = micros.back();
}

void BM_Dd8Store(benchmark::State& state) {
  Dir dir;
  PosixFileSystem fs;
  SystemClock clock;
  SpoolWriter spool(fs, (dir.path / "").string(), -1, nullptr, NoObserver());
  const K8Event record = BuildK8Event({40001, 7, 0x0A, clock.Now()});
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Steady::now();
    benchmark::DoNotOptimize(spool.WriteK8(kK8StationEventType, record, clock.Now()));
    micros.push_back(std::chrono::duration<double, std::micro>(Steady::now() - start).count());
  }
  Report(state, micros);
}
BENCHMARK(BM_Dd8Store)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Arg 0: the K8 record alone; 1: both links on, the .dd8 and the .ddk stored first.
void BM_EventFrameToAcknowledgement(benchmark::State& state) {
  Dir dir;
  PosixFileSystem fs;
  SystemClock clock;
  SpoolWriter spool(fs, (dir.path / "").string(), -1, nullptr, NoObserver());
  SpoolReplay replay(fs, clock, spool.prefix());
  EventOutput output({.send_k7 = state.range(0) == 1, .send_k8 = true}, spool, replay, clock,
                     NoObserver());
  AckTime port;
  StationProtocol station({}, port, output, NoObserver(), clock, fs, clock.Now());
  const Bytes frame = BuildStationEventFrame(1, 0x0A, 7);
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Steady::now();
    station.HandleStationPacket(frame);
    micros.push_back(std::chrono::duration<double, std::micro>(port.acked - start).count());
  }
  Report(state, micros);
}
BENCHMARK(BM_EventFrameToAcknowledgement)
    ->ArgName("both_links")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(2000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qarn

BENCHMARK_MAIN();
