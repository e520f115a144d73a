#include "platform/diag.h"

#include <sys/stat.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace qarn {
namespace {

std::mutex& DiagMutex() {
  static std::mutex m;
  return m;
}

DiagSink& Sink() {
  static DiagSink sink;
  return sink;
}

std::atomic<bool> journal_prefixes{false};
std::atomic<Journal*> journal{nullptr};

// Syslog priorities: err, warning, info; 0 for standard output.
void Write(int priority, const std::string& line) {
  const bool is_error = priority != 0;
  std::lock_guard lock(DiagMutex());
  if (Sink()) {
    Sink()(is_error, line);
    return;
  }
  FILE* f = is_error ? stderr : stdout;
  if (is_error && journal_prefixes.load()) std::fprintf(f, "<%d>", priority);
  std::fwrite(line.data(), 1, line.size(), f);
  std::fputc('\n', f);
  std::fflush(f);
}

}  // namespace

void DiagError(const std::string& line) { Write(3, line); }
void DiagWarning(const std::string& line) { Write(4, line); }
void DiagInfo(const std::string& line) { Write(6, line); }
void DiagOutput(const std::string& line) { Write(0, line); }

void DiagState(JournalKind kind, DiagPriority priority, const std::string& line,
               JournalFields fields) {
  if (Journal* j = journal.load()) {
    j->Send({kind, priority, line, std::move(fields)});
  } else {
    Write(priority, line);
  }
}

void DiagJournal(JournalKind kind, const std::string& message, JournalFields fields) {
  if (Journal* j = journal.load()) j->Send({kind, kDiagInfo, message, std::move(fields)});
}

bool JournalActive() { return journal.load() != nullptr; }

void SetJournal(Journal* j) { journal.store(j); }

bool StreamIsJournal(int fd, const char* journal_stream) {
  if (!journal_stream) return false;
  uintmax_t device = 0, inode = 0;
  char rest = 0;
  if (std::sscanf(journal_stream, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &rest) != 2)
    return false;
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  return static_cast<uintmax_t>(st.st_dev) == device && static_cast<uintmax_t>(st.st_ino) == inode;
}

void DetectJournalOnStderr() {
  const bool on_journal = StreamIsJournal(2, std::getenv("JOURNAL_STREAM"));
  journal_prefixes.store(on_journal);
  if (!on_journal) return;
  // Kept to the very end: the K8 link's thread may still report while statics go.
  static Journal* const system_journal = MakeSystemdJournal().release();
  SetJournal(system_journal);
}

void SetDiagSink(DiagSink sink) {
  std::lock_guard lock(DiagMutex());
  Sink() = std::move(sink);
}

std::string HexDump(std::span<const uint8_t> bytes, size_t max_bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  const size_t n = bytes.size() < max_bytes ? bytes.size() : max_bytes;
  out.reserve(n * 3 + 4);
  for (size_t i = 0; i < n; ++i) {
    if (i) out.push_back(' ');
    out.push_back(kHex[bytes[i] >> 4]);
    out.push_back(kHex[bytes[i] & 15]);
  }
  if (n < bytes.size()) out += " ...";
  return out;
}

void FailureReporter::Failed(const std::string& detail) {
  if (failing_) return;
  failing_ = true;
  const std::string line = what_ + ": " + detail;
  if (!failing_kind_) return DiagError(line);
  JournalFields fields = fields_;
  fields.emplace_back("QARN_REASON", detail);
  DiagState(*failing_kind_, kDiagError, line, std::move(fields));
}

void FailureReporter::Succeeded(const char* recovered) {
  if (!failing_) return;
  failing_ = false;
  if (!recovered) return;
  const std::string line = what_ + ": " + recovered;
  if (!recovered_kind_) return DiagError(line);
  DiagState(*recovered_kind_, kDiagError, line, fields_);
}

}  // namespace qarn
