// Tells standard error when records of one link start going to spool files because the link
// is down, how a backlog drains (once a minute) and when the replay has emptied it, with
// counts: the operator sees it all in the journal. A record stored on its way to a link that
// is up is not news. Under the journal the drain's start (the replay's first file of a
// backlog) and its end are entries of their own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "output/spool_writer.h"

namespace qarn {

class SpoolNotice {
 public:
  explicit SpoolNotice(SpoolKind kind) : kind_(kind) {}

  // The files found at start-up.
  void Found(size_t waiting);
  // A record has just been stored; `waiting` files wait now.
  void Stored(size_t waiting);
  // After a replay step at `now_ms`: `waiting` files are left, the replay has sent `replayed`
  // in this run; it may send `rate` files per second (0: as fast as the server takes them).
  void Replayed(size_t waiting, uint32_t now_ms, int rate, size_t replayed = 0);

  static constexpr uint32_t kProgressMs = 60000;

 private:
  SpoolKind kind_;
  bool spooling_ = false;  // files wait since the last line
  size_t found_ = 0;
  size_t stored_ = 0;
  bool progress_started_ = false;
  uint32_t progress_ms_ = 0;     // when the last progress line was said (or due from)
  size_t progress_waiting_ = 0;  // the files that waited then
  size_t replayed_ = 0;          // the replay's count at the last step
  bool draining_ = false;        // the replay sends a backlog
};

}  // namespace qarn
