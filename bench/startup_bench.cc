// The real driver's start with a backlog: the time from its start to its first answer to the
// station, and its resident memory once started, with 0 and 100,000 spool files waiting in a
// message directory of their own (the links' servers refuse, so nothing drains meanwhile).
// Run: build/bin/startup_bench
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "fakes/child_process.h"
#include "fakes/driver_station_side.h"
#include "fakes/temp_dir.h"
#include "platform/pseudo_terminal.h"
#include "station/station_frames.h"

namespace qarn {
namespace {

using Steady = std::chrono::steady_clock;

long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmRSS:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 16, '\n');
  }
  return -1;
}

void BM_StartWithBacklog(benchmark::State& state) {
  testing::TempDir dir;
  const std::filesystem::path spool = std::filesystem::path(dir.path()) / "messages";
  std::filesystem::create_directories(spool);
  const std::string record = std::string("\x1C\x00\x00\x03", 4) + std::string(18, '\x02');
  for (int64_t i = 0; i < state.range(0); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%08llX.dd8", static_cast<unsigned long long>(i));
    std::ofstream(spool / name, std::ios::binary) << record;
  }
  PseudoTerminal pty;
  std::string error;
  if (!pty.Open(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  dir.Write("sqarn.ini", testing::DriverTestIni(0, testing::RefusingPort(), pty.slave_path(),
                                                "PathForSoob=" + spool.string() + "/\n"));
  double answer_ms = 0;
  long rss_kib = 0;
  for (auto _ : state) {
    const auto start = Steady::now();
    testing::ChildProcess driver(QARN_DRIVER_PATH, {"--headless"}, dir.path());
    Bytes in;
    bool answered = false;
    for (int i = 0; i < 200 && !answered; ++i) {
      if (write(pty.master_fd(), kPollFrame.data(), kPollFrame.size()) < 0) break;
      answered =
          testing::ReadUntil(pty.master_fd(), in, Bytes{0x84, 0x01}, std::chrono::milliseconds(20));
    }
    answer_ms = std::chrono::duration<double, std::milli>(Steady::now() - start).count();
    rss_kib = ResidentKiB(driver.pid());
    driver.Signal(SIGTERM);
    driver.Wait();
    if (!answered) state.SkipWithError("the driver never answered the station");
  }
  state.counters["first_answer_ms"] = answer_ms;
  state.counters["rss_kib"] = static_cast<double>(rss_kib);
}
BENCHMARK(BM_StartWithBacklog)
    ->ArgName("files")
    ->Arg(0)
    ->Arg(100000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qarn

BENCHMARK_MAIN();
