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
#include "output/spool_writer.h"
#include "platform/clock.h"
#include "platform/file_system.h"
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
  SpoolWriter spool(fs, (dir.path / "").string(), -1, SpoolWriter::Hooks{});
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
  SpoolWriter spool(fs, (dir.path / "").string(), -1, SpoolWriter::Hooks{});
  EventOutput output({.send_k7 = state.range(0) == 1, .send_k8 = true}, spool, clock, nullptr);
  Steady::time_point acked;
  StationProtocol::Hooks hooks;
  hooks.send = [&](ByteView) { acked = Steady::now(); };
  hooks.deliver_event = [&](const StationEvent& e) { output.DeliverStationEvent(e); };
  StationProtocol station({}, std::move(hooks), clock, fs, clock.Now());
  const Bytes frame = BuildStationEventFrame(1, 0x0A, 7);
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Steady::now();
    station.HandleStationPacket(frame);
    micros.push_back(std::chrono::duration<double, std::micro>(acked - start).count());
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
