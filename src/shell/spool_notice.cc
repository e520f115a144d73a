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

void SpoolNotice::Replayed(size_t waiting, uint32_t now_ms, int rate) {
  if (!spooling_) return;
  if (waiting > 0) {
    if (!progress_started_) {
      progress_started_ = true;
      progress_ms_ = now_ms;
      progress_waiting_ = waiting;
      return;
    }
    if (now_ms - progress_ms_ < kProgressMs) return;
    const double minutes = (now_ms - progress_ms_) / 60000.0;
    const double per_minute =
        progress_waiting_ > waiting ? (progress_waiting_ - waiting) / minutes : 0.0;
    std::string left = "time left unknown: the backlog does not shrink";
    if (per_minute > 0) {
      left = "about " + std::to_string(static_cast<long>(waiting / per_minute + 1)) + " min left";
    }
    DiagInfo(std::string(Link(kind_)) + ": " + std::to_string(waiting) + " " + Extension(kind_) +
             " spool files wait; " + std::to_string(static_cast<long>(per_minute)) +
             " per minute drained (ReplayRate " +
             (rate == 0 ? std::string("0: as fast as the server takes them")
                        : std::to_string(rate) + "/s") +
             "); " + left);
    progress_ms_ = now_ms;
    progress_waiting_ = waiting;
    return;
  }
  DiagInfo(std::string(Link(kind_)) + ": the replay has emptied the " + Extension(kind_) +
           " spool files: " + std::to_string(found_) + " from earlier runs, " +
           std::to_string(stored_) + " spooled since");
  spooling_ = false;
  found_ = 0;
  stored_ = 0;
  progress_started_ = false;
}

}  // namespace qarn
