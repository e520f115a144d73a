// The K8 link against a loopback server that answers at once: how often the thread wakes
// while idle, how many packets per second pass, how long a queued packet takes to arrive, and
// how many station events per second go end to end, each stored durably before its
// acknowledgement would go to the station and deleted on the server's.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "fakes/inline_main_loop.h"
#include "fakes/k8_test_server.h"
#include "k8/k8_link.h"
#include "output/event_output.h"
#include "output/observer.h"
#include "output/spool_replay.h"
#include "output/spool_writer.h"
#include "platform/clock.h"
#include "platform/file_system.h"

namespace qarn {
namespace {

using Steady = std::chrono::steady_clock;

struct Bench {
  explicit Bench(bool poll_enable)
      : server([poll_enable](const K8TestServer::Received& r) -> std::optional<Bytes> {
          if (poll_enable && r.header.type == kK8Version) {
            return BuildK8Packet(kK8PollEnable, ByteView(), 0);
          }
          return K8TestServer::DefaultReply(r);
        }) {
    dir = std::filesystem::temp_directory_path() /
          ("k8_bench_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    const std::string ini = (dir / "sqarn.ini").string();
    std::ofstream(ini) << "[ServerHost]\nPort=" << server.port() << "\n";
    link = std::make_unique<K8Link>(
        K8Link::Services{clock, fs, loop, PosixTcpClientFactory(), host, deliveries, NoObserver()},
        ini);
    server.WaitForPackets(4);
  }
  ~Bench() {
    link->StopAndWait();
    link.reset();
    std::filesystem::remove_all(dir);
  }

  // As the driver's spool does on the main thread: an acknowledged file is deleted.
  struct Deliveries final : DeliveryReports {
    explicit Deliveries(Bench& bench) : bench(bench) {}
    void Ended(SpoolKind, const std::string& file, PacketEnd end) override {
      if (end != PacketEnd::kAcknowledged) return;
      (void)bench.fs.Remove(file);  // a kept file costs a duplicate only
      bench.acked_files.fetch_add(1);
    }
    Bench& bench;
  };
  // No serial port: the greeting's values are the defaults.
  struct NoHost final : LinkHost {
    void SetClock(TDateTime) override {}
    void RequestRetQuery() override {}
    void CloseByServer() override {}
    PortGreeting Greeting() const override { return {}; }
  };

  std::filesystem::path dir;
  SystemClock clock;
  PosixFileSystem fs;
  InlineMainLoop loop;
  K8TestServer server;
  std::atomic<int64_t> acked_files{0};
  Deliveries deliveries{*this};
  NoHost host;
  std::unique_ptr<K8Link> link;
};

const Bytes kEvent(18, 0x5A);

void BM_IdleWakeUps(benchmark::State& state) {
  Bench bench(state.range(0) != 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // past the greeting
  for (auto _ : state) {
    const uint64_t before = bench.link->steps();
    const auto start = Steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    state.counters["wakeups_per_s"] = (bench.link->steps() - before) / seconds;
  }
}
BENCHMARK(BM_IdleWakeUps)->ArgName("polling")->Arg(0)->Arg(1)->Iterations(1)->UseRealTime();

void BM_Throughput(benchmark::State& state) {
  Bench bench(false);
  const size_t count = 20000;
  for (auto _ : state) {
    const size_t base = bench.server.received().size();
    const auto start = Steady::now();
    for (size_t i = 0; i < count;) {
      if (bench.link->QueuePacket(kK8StationEventType, kEvent, "")) {
        ++i;
      } else {
        std::this_thread::yield();  // the ring is full
      }
    }
    bench.server.WaitForPackets(base + count, std::chrono::seconds(60));
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    state.counters["packets_per_s"] = count / seconds;
  }
}
BENCHMARK(BM_Throughput)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_QueueToArrival(benchmark::State& state) {
  Bench bench(state.range(0) != 0);
  std::vector<double> micros;
  for (auto _ : state) {
    for (int i = 0; i < 2000; ++i) {
      const size_t base = bench.server.received().size();
      const auto queued = Steady::now();
      bench.link->QueuePacket(kK8StationEventType, kEvent, "");
      bench.server.WaitForPackets(base + 1);
      const auto arrived = bench.server.received()[base].when;
      micros.push_back(std::chrono::duration<double, std::micro>(arrived - queued).count());
      // Let the reply come back, so that each packet meets an idle, sleeping link.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
}
BENCHMARK(BM_QueueToArrival)
    ->ArgName("polling")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Station events as the driver delivers them with the link up: each K8 record is written to a
// durable .dd8 first, then queued with its file; the server's acknowledgement deletes it.
// Arg 1 stores each event's K7 unit as its .ddk first too (the K7 link down: the files stay).
void BM_StationEventsEndToEnd(benchmark::State& state) {
  Bench bench(false);
  SpoolWriter spool(bench.fs, (bench.dir / "").string(), -1, nullptr, NoObserver());
  // The files the output marks in flight; the link's reports go to the bench's deletions.
  SpoolReplay replay(bench.fs, bench.clock, spool.prefix());
  EventOutput output({.send_k7 = state.range(0) == 1, .send_k8 = true}, spool, replay, bench.clock,
                     NoObserver());
  output.SetLinks(nullptr, bench.link.get());
  const int count = 2000;
  for (auto _ : state) {
    const int64_t base = bench.acked_files.load();
    const auto start = Steady::now();
    StationEvent event{40001, 7, 0x0A, bench.clock.Now()};
    for (int i = 0; i < count; ++i) {
      // Sustained: no more in flight than the ring holds.
      while (i - (bench.acked_files.load() - base) >= 90) std::this_thread::yield();
      event.object_number = 40001 + i;
      output.DeliverStationEvent(event);
    }
    while (bench.acked_files.load() < base + count) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    state.counters["events_per_s"] = count / seconds;
  }
  size_t dd8_left = 0;
  for (const auto& e : std::filesystem::directory_iterator(bench.dir)) {
    dd8_left += e.path().extension() == ".dd8";
  }
  state.counters["dd8_left"] = static_cast<double>(dd8_left);
}
BENCHMARK(BM_StationEventsEndToEnd)
    ->ArgName("k7_stored")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qarn

BENCHMARK_MAIN();
