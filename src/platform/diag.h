// The driver's diagnostics: one line at a time to standard error (or standard output for the
// K8 log), UTF-8, flushed at once, safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace qarn {

// Standard error, with the syslog priority of the line (error, warning, notice of progress).
void DiagError(const std::string& line);
void DiagWarning(const std::string& line);
void DiagInfo(const std::string& line);
void DiagOutput(const std::string& line);  // standard output

// With standard error connected to the journal (JOURNAL_STREAM names its device and inode),
// every line on it starts with its syslog priority, "<3>", "<4>" or "<6>", so that the journal
// files it at that level. Looked at once, at start-up.
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
class FailureReporter {
 public:
  explicit FailureReporter(std::string what) : what_(std::move(what)) {}

  void Failed(const std::string& detail);
  void Succeeded(const char* recovered = nullptr);
  bool failing() const { return failing_; }

 private:
  std::string what_;
  bool failing_ = false;
};

}  // namespace qarn
