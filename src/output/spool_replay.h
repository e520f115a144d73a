// Sends spooled records again once their link is up, oldest first: at most one .dd8 file
// per 3 seconds (sooner when the server acknowledges) and one .ddk file per tick.
//
// The files waiting are kept in memory in the order they were spooled: the directory is
// read once at start-up (ordered by modification time, since names repeat every month and
// do not sort by time) and files stored since then join the end of the line, so a tick
// never lists or sorts the directory.
//
// A .dd8 file whose packet is on its way to the K8 server (queued live or replayed) is in
// flight: it keeps its place in the line but is not sent again until its packet ends. The
// server's acknowledgement deletes it; any other end of the packet lets it go again. A file
// the server keeps refusing is set aside, so that it does not hold back the others for ever.
#pragma once

#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "output/dd8_replay_state.h"
#include "output/links.h"
#include "output/spool_writer.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/file_system.h"

namespace qarn {

class SpoolReplay {
 public:
  SpoolReplay(FileSystem& fs, const Clock& clock, std::string prefix, Dd8ReplayState& state);

  // Reads the message directory: the spool files left from earlier runs.
  void Scan();

  // A file that the spool writer has just stored.
  void Add(SpoolKind kind, const std::string& path);

  // One .dd8 file to the K8 link, when it is connected and the pacing allows: the oldest
  // that is not in flight.
  void ReplayK8(K8Channel& k8);
  // A .dd8 file's packet was queued by someone else (a live station event).
  void MarkInFlight(const std::string& path) { in_flight_.insert(path); }
  // The packet of a .dd8 file ended; when acknowledged the file is gone. Its
  // kMaxRefusals-th refusal sets it aside; packets that went unanswered do not count.
  void PacketEnded(const std::string& path, PacketEnd end);
  bool in_flight(const std::string& path) const { return in_flight_.count(path) != 0; }
  // One .ddk file to the K7 link, when it is connected; deleted once sent whole.
  void ReplayK7(K7Channel& k7);

  size_t waiting(SpoolKind kind) const { return Queue(kind).size(); }

  // The suffix given to a file that cannot be replayed; no spool pattern matches it.
  static constexpr const char* kSetAsideSuffix = ".bad";
  static constexpr int kMaxRefusals = 5;

 private:
  std::deque<std::string>& Queue(SpoolKind kind) { return kind == SpoolKind::kK7 ? k7_ : k8_; }
  const std::deque<std::string>& Queue(SpoolKind kind) const {
    return kind == SpoolKind::kK7 ? k7_ : k8_;
  }
  // Drops files at the head of the line that are gone (acknowledged, or removed by hand).
  bool SkipVanished(std::deque<std::string>& queue);
  void SetAside(std::deque<std::string>& queue, const std::string& why);
  void SetAsideAt(std::deque<std::string>& queue, size_t at, const std::string& why);

  FileSystem& fs_;
  const Clock& clock_;
  std::string prefix_;
  Dd8ReplayState& state_;
  std::deque<std::string> k7_;
  std::deque<std::string> k8_;
  std::unordered_set<std::string> in_flight_;
  // Refusals so far of the files the server has refused; a lost connection resets nothing.
  std::unordered_map<std::string, int> refusals_;
  // A sent .ddk file the disk keeps goes again at the next start: a duplicate, not a loss.
  FailureReporter removals_{
      "cannot delete a sent .ddk spool file; it goes again at the next start"};
};

}  // namespace qarn
