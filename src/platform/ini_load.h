// Reading "sqarn.ini" and its like through the file system; the rules live in base/.
#pragma once

#include <string>

#include "base/ini_file.h"

namespace qarn {

class FileSystem;

// A file that cannot be read gives an empty one.
IniFile LoadIniFile(FileSystem& fs, const std::string& path);

}  // namespace qarn
