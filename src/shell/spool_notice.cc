#include "shell/spool_notice.h"

#include <string>

#include "platform/diag.h"

namespace qarn {
namespace {

const char* Link(SpoolKind kind) { return kind == SpoolKind::kK8 ? "K8" : "K7"; }
const char* Extension(SpoolKind kind) { return kind == SpoolKind::kK8 ? ".dd8" : ".ddk"; }
JournalFields Fields(SpoolKind kind) {
  return {{"QARN_LINK", kind == SpoolKind::kK8 ? "k8" : "k7"}};
}

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

void SpoolNotice::Replayed(size_t waiting, uint32_t now_ms, int rate, size_t replayed) {
  const bool sent = replayed > replayed_;
  replayed_ = replayed;
  if (!spooling_) return;
  if (sent && !draining_) {
    draining_ = true;
    DiagJournal(JournalKind::kDrainStarted,
                std::string(Link(kind_)) + ": the replay sends the " + std::to_string(waiting) +
                    " " + Extension(kind_) + " spool files waiting",
                Fields(kind_));
  }
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
  DiagState(JournalKind::kDrainFinished, kDiagInfo,
            std::string(Link(kind_)) + ": the replay has emptied the " + Extension(kind_) +
                " spool files: " + std::to_string(found_) + " from earlier runs, " +
                std::to_string(stored_) + " spooled since",
            Fields(kind_));
  spooling_ = false;
  draining_ = false;
  found_ = 0;
  stored_ = 0;
  progress_started_ = false;
}

}  // namespace qarn
