// Owns the life of every spool file once it is stored: waiting in its link's line, in flight
// on the link, acknowledged (deleted), released (waiting again at its place) or set aside.
// The links only report what became of the files they carried; only this class, on the main
// thread, deletes or renames a spool file.
//
// The files waiting are kept in memory in the order they were spooled: the directory is
// read once at start-up (ordered by modification time, since names repeat every month and
// do not sort by time) and files stored since then join the end of the line, so a tick
// never lists or sorts the directory.
//
// The replay sends the oldest file not in flight, at the configured rate (files per second
// per link; 0: as fast as the server takes them). Live records go out with their event and
// come first: on K8 at most one replayed packet is out at a time, on K7 at most 64 KiB of
// replayed units wait in the socket. A file the K8 server keeps refusing, or one that cannot
// be a record, is set aside so that it does not hold back the others for ever.
#pragma once

#include <deque>
#include <string>
#include <unordered_map>

#include "output/links.h"
#include "output/observer.h"
#include "output/spool_writer.h"
#include "platform/clock.h"
#include "platform/diag.h"
#include "platform/file_system.h"

namespace qarn {

class SpoolReplay final : public DeliveryReports {
 public:
  static constexpr int kDefaultRate = 5;  // files per second per link
  // Replayed K7 units that may wait in the socket ahead of a live one: 64 KiB.
  static constexpr size_t kMaxReplayedK7InFlight = 65536 / kK7FrameSize;

  // Every change of the files on disk is told to `observer`.
  SpoolReplay(FileSystem& fs, const Clock& clock, std::string prefix, int rate = kDefaultRate,
              Observer& observer = NoObserver());

  // The links the files go to; null while a link does not exist (or is closing).
  void SetLinks(K7Channel* k7, K8Channel* k8) {
    k7_link_ = k7;
    k8_link_ = k8;
  }

  // Reads the message directory: the spool files left from earlier runs.
  void Scan();

  // A file that the spool writer has just stored joins the end of its line.
  void Add(SpoolKind kind, const std::string& path);
  // A stored file whose record went out live.
  void MarkInFlight(SpoolKind kind, const std::string& path);
  // What became of a file in flight, as its link reports it. Acknowledged deletes it; the
  // K8 server's kMaxRefusals-th refusal sets it aside; anything else lets it go again. At the
  // rate 0 the next K8 file goes as this one's reply came.
  void Ended(SpoolKind kind, const std::string& path, PacketEnd end) override;
  // The replay tick: as many files to each link as the rate allows, the deletions made
  // durable, the numbers told.
  void Tick();
  // Makes the deletions since the last call durable, with one flush of the directory: a
  // delivered file costs no flush of its own on the main thread.
  void FlushRemovals();
  bool in_flight(SpoolKind kind, const std::string& path) const {
    return Of(kind).in_flight.count(path) != 0;
  }

  // As many .dd8 files to the K8 link as the rate allows, when it is connected.
  void ReplayK8(K8Channel& k8);
  // As many .ddk files to the K7 link as the rate and the socket allow, when it is connected.
  void ReplayK7(K7Channel& k7);

  // Files of the link on disk: waiting or in flight.
  size_t waiting(SpoolKind kind) const { return Of(kind).files.size(); }
  size_t replayed(SpoolKind kind) const { return Of(kind).replayed; }
  // The path of the oldest file of the link on disk; empty when there is none.
  std::string oldest(SpoolKind kind) const {
    const Line& line = Of(kind);
    return line.files.empty() ? std::string() : Path(line.files.front());
  }
  int rate() const { return rate_; }

  // The suffix given to a file that cannot be replayed; no spool pattern matches it.
  static constexpr const char* kSetAsideSuffix = ".bad";
  static constexpr int kMaxRefusals = 5;

 private:
  struct Line {
    explicit Line(const char* removal_failure) : removals(removal_failure) {}
    // Spooling order, those in flight included; names within the message directory, which
    // keeps a large backlog small in memory.
    std::deque<std::string> files;
    // In flight, and whether the replay sent it (not a live record).
    std::unordered_map<std::string, bool> in_flight;
    size_t replayed_in_flight = 0;
    size_t replayed = 0;   // files the replay has sent in this run
    double allowance = 0;  // files the rate lets go now
    uint32_t last_tick = 0;
    bool ticked = false;
    FailureReporter removals;
  };
  void Told(SpoolKind kind) {
    observer_.SpoolChanged(kind, waiting(kind), oldest(kind), replayed(kind));
  }
  std::string Name(const std::string& path) const;
  std::string Path(const std::string& name) const { return dir_ + name; }
  Line& Of(SpoolKind kind) { return kind == SpoolKind::kK7 ? k7_ : k8_; }
  const Line& Of(SpoolKind kind) const { return kind == SpoolKind::kK7 ? k7_ : k8_; }
  // The files the rate lets go now; none while the link is down.
  size_t Allowed(Line& line, bool connected);
  // The position of the oldest file not in flight that is still there, or files.size().
  size_t NextToSend(Line& line);
  // Reads a file for the replay; empty (and set aside when it cannot be a record) otherwise.
  bool Read(Line& line, size_t at, SpoolKind kind, Bytes* content);
  void Erase(Line& line, const std::string& path, bool from_front);
  void SetAsideAt(Line& line, size_t at, const std::string& why);

  FileSystem& fs_;
  const Clock& clock_;
  std::string prefix_;
  std::string dir_;  // the prefix up to its last '/'
  int rate_;
  Observer& observer_;
  K7Channel* k7_link_ = nullptr;
  K8Channel* k8_link_ = nullptr;
  bool removed_ = false;  // files deleted since the last FlushRemovals
  // A delivered file that the disk will not let go stays for the next start: a duplicate,
  // never a loss.
  Line k7_{"cannot delete a delivered .ddk spool file; it goes again at the next start"};
  Line k8_{"cannot delete an acknowledged .dd8 spool file; it goes again at the next start"};
  // Refusals so far of the files the server has refused; a lost connection resets nothing.
  std::unordered_map<std::string, int> refusals_;
};

}  // namespace qarn
