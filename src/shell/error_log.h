// "error.txt": one numbered line per error, "ошибка №" and the code, in Windows-1251.
#pragma once

#include <string>

#include "output/observer.h"
#include "platform/file_system.h"

namespace qarn {

class ErrorLog final : public Observer {
 public:
  explicit ErrorLog(FileSystem& fs, std::string path = "error.txt")
      : fs_(fs), path_(std::move(path)) {}

  // False (and a line on standard error) when the file cannot be written.
  bool WriteErrorLog(int code);
  void ErrorCode(int code) override { WriteErrorLog(code); }

 private:
  FileSystem& fs_;
  std::string path_;
};

}  // namespace qarn
