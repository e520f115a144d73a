// Records whose spool file could not be written (disk full, directory read-only or gone).
// The station was acknowledged all the same, so they are kept in memory, oldest first, and
// written as soon as the disk takes files again; a K7 unit also goes out once when its link
// is up, and stays held all the same (the socket is never its only copy: it goes again from
// its file). The failure is reported at once and again every minute while it lasts.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "output/links.h"
#include "output/spool_writer.h"
#include "platform/clock.h"

namespace qarn {

class UnstoredRecords {
 public:
  static constexpr size_t kCapacity = 10000;
  static constexpr uint32_t kRetryMs = 5000;
  static constexpr uint32_t kReportMs = 60000;

  UnstoredRecords(SpoolWriter& spool, const Clock& clock, uint32_t retry_ms = kRetryMs)
      : spool_(spool), clock_(clock), retry_ms_(retry_ms) {}

  // A record the spool writer refused; `type` is the K8 packet type of a K8 record.
  void Hold(SpoolKind kind, ByteView content, int32_t type = 0);

  // Writes the held records while the disk takes them, oldest first.
  void StoreAll();
  // From a periodic tick: sends each held K7 unit once while the link takes them, tries the
  // disk at least every 5 s and repeats the report every minute.
  void Tick(K7Channel* k7);

  size_t size() const { return held_.size(); }
  bool empty() const { return held_.empty(); }
  size_t lost() const { return lost_; }
  // "N records waiting in memory, store failing since T", with ", M records lost" once any
  // was; empty when nothing waits.
  std::string StatusText() const;

 private:
  struct Record {
    SpoolKind kind;
    int32_t type;
    Bytes content;
    TDateTime time;     // when it was made: its spool name comes from it
    bool sent = false;  // a K7 unit's live copy has gone out
  };
  bool Store(const Record& r);
  void Report();

  SpoolWriter& spool_;
  const Clock& clock_;
  uint32_t retry_ms_;
  std::deque<Record> held_;
  size_t lost_ = 0;
  size_t lost_reported_ = 0;  // losses the last report counted
  TDateTime failing_since_ = 0;
  uint32_t last_try_tick_ = 0;
  uint32_t last_report_tick_ = 0;
};

}  // namespace qarn
