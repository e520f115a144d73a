// What the metrics cost: the calls on the road of one station event, one scrape made in
// memory and over HTTP, and the exposer's CPU when it is scraped every 100 ms while events
// flow as fast as the calls go; also how many events' calls took over 100 us meanwhile (a
// scrape never holds them up: what there is, is the scheduler's).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/loopback_http.h"
#include "platform/prometheus_metrics.h"
#include "platform/tcp_listener.h"

namespace qarn {
namespace {

using Steady = std::chrono::steady_clock;

// One station event's calls with both links: frame, receipt, acknowledgement, two records
// stored and delivered.
void OneEvent(Metrics& m) {
  m.StationFrame(StationFrameKind::kEvent);
  m.EventReceived();
  m.RecordStored(MetricLink::kK8);
  m.RecordStored(MetricLink::kK7);
  m.EventAcknowledged(0.0021);
  m.RecordDelivered(MetricLink::kK8, 0.004);
  m.RecordDelivered(MetricLink::kK7, 0.012);
  m.SpoolFiles(MetricLink::kK7, 3, 1700000000000000000);
}

void BM_EventCalls(benchmark::State& state) {
  PrometheusMetrics metrics;
  for (auto _ : state) OneEvent(metrics);
}
BENCHMARK(BM_EventCalls);

void BM_ScrapeInMemory(benchmark::State& state) {
  PrometheusMetrics metrics;
  for (int i = 0; i < 1000; ++i) OneEvent(metrics);
  size_t bytes = 0;
  for (auto _ : state) bytes = metrics.Scrape().size();
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ScrapeInMemory)->Unit(benchmark::kMicrosecond);

int FreePort() {
  TcpListener listener;
  return listener.Listen("127.0.0.1", 0) == 0 ? listener.port() : 0;
}

size_t HttpScrape(int port) { return testing::AskLoopback(port, testing::kMetricsRequest).size(); }

void BM_ScrapeOverHttp(benchmark::State& state) {
  PrometheusMetrics metrics;
  for (int i = 0; i < 1000; ++i) OneEvent(metrics);
  const int port = FreePort();
  std::string error;
  if (!metrics.Serve("127.0.0.1", port, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  size_t bytes = 0;
  for (auto _ : state) bytes = HttpScrape(port);
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ScrapeOverHttp)->Unit(benchmark::kMicrosecond);

// CPU seconds of this process's threads named `prefix`*.
double ThreadCpuSeconds(const std::string& prefix) {
  double ticks = 0;
  DIR* d = opendir("/proc/self/task");
  if (!d) return 0;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string task = std::string("/proc/self/task/") + e->d_name;
    std::string comm;
    std::getline(std::ifstream(task + "/comm"), comm);
    if (comm.rfind(prefix, 0) != 0) continue;
    std::string stat;
    std::getline(std::ifstream(task + "/stat"), stat);
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
    }
  }
  closedir(d);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A scrape every 100 ms for 10 s while another thread makes events' calls without pause:
// the exposer's CPU, and the events' calls that took long meanwhile.
void BM_ScrapedEvery100msWhileEventsFlow(benchmark::State& state) {
  for (auto _ : state) {
    PrometheusMetrics metrics;
    const int port = FreePort();
    std::string error;
    if (!metrics.Serve("127.0.0.1", port, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    std::atomic<bool> stop{false};
    uint64_t events = 0;
    uint64_t over_100us = 0;  // preempted, mostly, on a busy machine
    std::thread flow([&] {
      while (!stop.load()) {
        const auto t0 = Steady::now();
        OneEvent(metrics);
        if (Steady::now() - t0 > std::chrono::microseconds(100)) ++over_100us;
        ++events;
      }
    });
    const double cpu0 = ThreadCpuSeconds("civetweb");
    const auto start = Steady::now();
    int scrapes = 0;
    for (; Steady::now() - start < std::chrono::seconds(10); ++scrapes) {
      HttpScrape(port);
      std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * (scrapes + 1)));
    }
    const double cpu = ThreadCpuSeconds("civetweb") - cpu0;
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    stop.store(true);
    flow.join();
    state.counters["scrapes"] = scrapes;
    state.counters["exposer_cpu_percent"] = 100 * cpu / seconds;
    state.counters["exposer_cpu_ms_per_scrape"] = 1000 * cpu / scrapes;
    state.counters["events_per_s"] = static_cast<double>(events) / seconds;
    state.counters["event_calls_over_100us"] = static_cast<double>(over_100us);
  }
}
BENCHMARK(BM_ScrapedEvery100msWhileEventsFlow)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace qarn

BENCHMARK_MAIN();
