// The driver's diagnostics: one line at a time to standard error (or standard output for the
// K8 log), UTF-8, flushed at once, safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "platform/journal.h"

namespace qarn {

// Standard error, with the syslog priority of the line (error, warning, notice of progress).
void DiagError(const std::string& line);
void DiagWarning(const std::string& line);
void DiagInfo(const std::string& line);
void DiagOutput(const std::string& line);  // standard output

enum DiagPriority { kDiagError = 3, kDiagWarning = 4, kDiagInfo = 6 };

// A change of the driver's state (a link, the port, the store, the backlog). Under the journal
// it is one entry of its kind with `fields`, the line its MESSAGE; elsewhere the line on
// standard error, as any other.
void DiagState(JournalKind kind, DiagPriority priority, const std::string& line,
               JournalFields fields);
// An entry for the journal only (the road of an event): nothing at all without one.
void DiagJournal(JournalKind kind, const std::string& message, JournalFields fields);
// Whether entries go to a journal; without one, nobody needs to make them.
bool JournalActive();
// Tests hand the entries to a fake; nullptr: none. Set while no other thread reports.
void SetJournal(Journal* journal);

// With standard error connected to the journal (JOURNAL_STREAM names its device and inode),
// every line on it starts with its syslog priority, "<3>", "<4>" or "<6>", so that the journal
// files it at that level, and the changes of state and the road of events go to the journal
// as structured entries. Looked at once, at start-up.
void DetectJournalOnStderr();
// True when `journal_stream` ("device:inode", as systemd sets it) names the file open on `fd`.
bool StreamIsJournal(int fd, const char* journal_stream);

// Tests capture diagnostics here instead of the standard streams; nullptr restores them.
using DiagSink = std::function<void(bool is_error, const std::string& line)>;
void SetDiagSink(DiagSink sink);

// "02 88 76": bytes as upper-case hex pairs, at most `max_bytes` of them then "...".
std::string HexDump(std::span<const uint8_t> bytes, size_t max_bytes = 64);

// Reports a lasting failure once: the first failure is reported, repeats are silent until
// a success has been seen, which is reported once too when `recovered` is given.
// With journal kinds, the two reports are changes of state: `fields` go with both, and the
// failure's detail as QARN_REASON.
class FailureReporter {
 public:
  explicit FailureReporter(std::string what) : what_(std::move(what)) {}
  FailureReporter(std::string what, JournalKind failing, std::optional<JournalKind> recovered,
                  JournalFields fields)
      : what_(std::move(what)),
        failing_kind_(failing),
        recovered_kind_(recovered),
        fields_(std::move(fields)) {}

  void Failed(const std::string& detail);
  void Succeeded(const char* recovered = nullptr);
  bool failing() const { return failing_; }

 private:
  std::string what_;
  std::optional<JournalKind> failing_kind_;
  std::optional<JournalKind> recovered_kind_;
  JournalFields fields_;
  bool failing_ = false;
};

}  // namespace qarn
