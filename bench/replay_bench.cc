// Cost of one replay tick with many spool files waiting: it must not grow with their
// number. Run: build/bin/replay_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "output/event_record.h"
#include "output/spool_replay.h"
#include "platform/clock.h"

namespace qarn {
namespace {

class AlwaysUpK7 final : public K7Channel {
 public:
  bool Connected() const override { return true; }
  size_t SendUnit(ByteView unit, const std::string& file) override {
    sent.push_back(file);
    return unit.size();
  }
  std::vector<std::string> sent;
};

class QuietK8 final : public K8Channel {
 public:
  bool Connected() const override { return true; }
  bool QueuePacket(int32_t, ByteView, const std::string&) override { return true; }
};

// A directory with `files` .ddk and as many .dd8 files.
std::string MakeSpool(int64_t files) {
  std::string dir = (std::filesystem::temp_directory_path() / "qarn-bench-XXXXXX").string();
  dir = mkdtemp(dir.data());
  const std::string frame(kK7FrameSize, '\x01');
  for (int64_t i = 0; i < files; ++i) {
    std::ofstream(dir + "/" + std::to_string(i) + "_-1.ddk", std::ios::binary) << frame;
    std::ofstream(dir + "/" + std::to_string(i) + ".dd8", std::ios::binary)
        << std::string("\x1C\x00\x00\x03", 4) << std::string(18, '\x02');
  }
  sync();  // so that the set-up's writes are not flushed inside the timed ticks
  return dir + "/";
}

// A tick at ReplayRate=0 with the K8 file in flight: the K7 files go (64 KiB of them), are
// acknowledged by the server's TCP and deleted.
void BM_ReplayTick(benchmark::State& state) {
  const std::string prefix = MakeSpool(state.range(0));
  SystemClock clock;
  PosixFileSystem fs;
  SpoolReplay replay(fs, clock, prefix, 0);
  replay.Scan();
  AlwaysUpK7 k7;
  QuietK8 k8;
  replay.ReplayK8(k8);  // one .dd8 in flight, never answered: no more go
  int64_t files = 0;
  for (auto _ : state) {
    if (replay.waiting(SpoolKind::kK7) == 0) {
      state.PauseTiming();
      const std::string frame(kK7FrameSize, '\x01');
      for (int i = 0; i < 1000; ++i) {
        const std::string path = prefix + "r" + std::to_string(i) + "_-1.ddk";
        std::ofstream(path, std::ios::binary) << frame;
        replay.Add(SpoolKind::kK7, path);
      }
      state.ResumeTiming();
    }
    replay.ReplayK8(k8);
    replay.ReplayK7(k7);
    for (const std::string& file : k7.sent) {
      replay.Ended(SpoolKind::kK7, file, PacketEnd::kAcknowledged);
    }
    files += static_cast<int64_t>(k7.sent.size());
    k7.sent.clear();
  }
  state.counters["files/s"] =
      benchmark::Counter(static_cast<double>(files), benchmark::Counter::kIsRate);
  state.counters["waiting"] = static_cast<double>(state.range(0));
  std::filesystem::remove_all(prefix);
}
BENCHMARK(BM_ReplayTick)->Arg(0)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace qarn

BENCHMARK_MAIN();
