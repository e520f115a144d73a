#include "shell/spool_notice.h"

#include <string>

#include "platform/diag.h"

namespace qarn {
namespace {

const char* Link(SpoolKind kind) { return kind == SpoolKind::kK8 ? "K8" : "K7"; }
const char* Extension(SpoolKind kind) { return kind == SpoolKind::kK8 ? ".dd8" : ".ddk"; }

}  // namespace

void SpoolNotice::Found(size_t waiting) {
  if (waiting == 0) return;
  spooling_ = true;
  found_ = waiting;
  DiagInfo(std::string(Link(kind_)) + ": " + std::to_string(waiting) + " " + Extension(kind_) +
           " spool files from earlier runs wait for the replay");
}

void SpoolNotice::Stored(size_t waiting) {
  spooling_ = true;
  if (stored_++ > 0) return;
  DiagInfo(std::string(Link(kind_)) + ": the link is down; records go to " + Extension(kind_) +
           " spool files (" + std::to_string(waiting) + " waiting)");
}

void SpoolNotice::Replayed(size_t waiting) {
  if (!spooling_ || waiting > 0) return;
  DiagInfo(std::string(Link(kind_)) + ": the replay has emptied the " + Extension(kind_) +
           " spool files: " + std::to_string(found_) + " from earlier runs, " +
           std::to_string(stored_) + " spooled since");
  spooling_ = false;
  found_ = 0;
  stored_ = 0;
}

}  // namespace qarn
