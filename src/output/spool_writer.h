// Writes undelivered records to spool files in the message directory: .ddk for the K7 link,
// .dd8 for the K8 link. A spool file is the only copy of an alarm event, so each one is
// written durably under a name of its own and never replaces another.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "output/event_record.h"
#include "output/links.h"
#include "output/observer.h"
#include "platform/diag.h"
#include "platform/file_system.h"

namespace qarn {

class SpoolReplay;

class SpoolWriter {
 public:
  // `prefix` is the message directory as configured: a plain prefix of every name. Every
  // stored file joins the end of `line`'s queue (when given); error 11 (no time-stamp text)
  // goes to `observer`.
  SpoolWriter(FileSystem& fs, std::string prefix, int32_t n_abs, SpoolReplay* line,
              Observer& observer);

  // The stored file's path, or empty when the record could not be stored (reported on
  // standard error).
  std::optional<std::string> WriteK7(const K7Frame& frame, TDateTime now);
  std::optional<std::string> WriteK8(int32_t type, ByteView payload, TDateTime now);

  // Removes temporary files that a crash left half written.
  void RemoveStaleTemporaries();

  const std::string& prefix() const { return prefix_; }
  // The last write of either kind failed.
  bool failing() const { return k7_failures_.failing() || k8_failures_.failing(); }

  // Spool names: prefix + time-stamp text + "_" + n_abs + ".ddk", prefix + text + ".dd8".
  static std::string K7Name(const std::string& prefix, const std::string& stamp, int32_t n_abs);
  static std::string K8Name(const std::string& prefix, const std::string& stamp);

 private:
  std::optional<std::string> Store(SpoolKind kind, ByteView content, TDateTime now);
  std::string NameFor(SpoolKind kind, const std::string& stamp) const;

  FileSystem& fs_;
  std::string prefix_;
  int32_t n_abs_;
  SpoolReplay* line_;
  Observer& observer_;
  FailureReporter k7_failures_{"cannot write .ddk spool file",
                               JournalKind::kStoreFailing,
                               JournalKind::kStoreRecovered,
                               {{"QARN_LINK", "k7"}}};
  FailureReporter k8_failures_{"cannot write .dd8 spool file",
                               JournalKind::kStoreFailing,
                               JournalKind::kStoreRecovered,
                               {{"QARN_LINK", "k8"}}};
};

}  // namespace qarn
