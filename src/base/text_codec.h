// UTF-8 <-> Windows-1251, the 8-bit code page of the driver's files and records.
#pragma once

#include <string>

namespace qarn {

// Characters without a Windows-1251 form become '?'.
std::string Utf8ToCp1251(const std::string& utf8);
std::string Cp1251ToUtf8(const std::string& cp1251);

}  // namespace qarn
