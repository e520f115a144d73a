// Tells standard error when records of one link start going to spool files and when the
// replay has emptied them, with counts: the operator sees both in the journal.
#pragma once

#include <cstddef>

#include "output/spool_writer.h"

namespace qarn {

class SpoolNotice {
 public:
  explicit SpoolNotice(SpoolKind kind) : kind_(kind) {}

  // The files found at start-up.
  void Found(size_t waiting);
  // A record has just been stored; `waiting` files wait now.
  void Stored(size_t waiting);
  // After a replay step: `waiting` files are left.
  void Replayed(size_t waiting);

 private:
  SpoolKind kind_;
  bool spooling_ = false;  // files wait since the last line
  size_t found_ = 0;
  size_t stored_ = 0;
};

}  // namespace qarn
