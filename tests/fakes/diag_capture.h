// Collects the lines the code under test writes to standard error, while it lives.
#pragma once

#include <string>

#include "platform/diag.h"

namespace qarn::testing {

class DiagCapture {
 public:
  DiagCapture() {
    SetDiagSink([this](bool is_error, const std::string& line) {
      if (is_error) errors_ += line + "\n";
    });
  }
  ~DiagCapture() { SetDiagSink(nullptr); }
  DiagCapture(const DiagCapture&) = delete;
  DiagCapture& operator=(const DiagCapture&) = delete;

  const std::string& errors() const { return errors_; }

 private:
  std::string errors_;
};

}  // namespace qarn::testing
