#include "platform/ini_load.h"

#include "platform/file_system.h"

namespace qarn {

IniFile LoadIniFile(FileSystem& fs, const std::string& path) {
  Bytes bytes;
  if (!fs.ReadAll(path, &bytes, nullptr)) return IniFile();
  return IniFile(std::string(bytes.begin(), bytes.end()));
}

}  // namespace qarn
