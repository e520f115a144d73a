// "sqarn.ini" as any bytes: the settings come out in range, and writing the operator's port
// choice sets ComPort and changes no other value of the file.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "base/ini_file.h"
#include "fuzz/fuzz_check.h"
#include "shell/config.h"

namespace qarn {
namespace {

bool SameNoCase(const std::string& a, const char* b) {
  if (a.size() != std::char_traits<char>::length(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(b[i])) return false;
  }
  return true;
}

std::string Trimmed(const std::string& s) {
  const char* blanks = " \t\r\n\f";
  const size_t b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

// Every (section, key) the text seems to hold, read loosely so that odd lines count too.
std::vector<std::pair<std::string, std::string>> Pairs(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::string section;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trimmed(text.substr(begin, end - begin));
    if (!line.empty() && line[0] == '[' && line.find(']') != std::string::npos) {
      section = Trimmed(line.substr(1, line.find(']') - 1));
    } else if (line.find('=') != std::string::npos) {
      pairs.emplace_back(section, Trimmed(line.substr(0, line.find('='))));
    }
    begin = end + 1;
  }
  return pairs;
}

}  // namespace
}  // namespace qarn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qarn;
  FuzzedDataProvider in(data, size);
  const int port = in.ConsumeIntegralInRange(1, 255);
  const int32_t number = in.ConsumeIntegral<int32_t>();
  const std::string text = in.ConsumeRemainingBytesAsString();

  // Every 32-bit number reads back from its decimal and its hexadecimal text.
  char hex[16];
  std::snprintf(hex, sizeof hex, "$%X", static_cast<unsigned>(number));
  FUZZ_CHECK(ParseIniInteger(std::to_string(number)) == number);
  FUZZ_CHECK(ParseIniInteger(hex) == number);

  const IniFile ini(text);
  std::string warning;
  const Config config = ReadConfig(ini, &warning);
  FUZZ_CHECK(config.query_interval >= 0 && config.query_interval < 1.0);
  FUZZ_CHECK(!config.ret_enabled.test(0));
  FUZZ_CHECK(config.com_port.size() <= kIniValueMax);
  FUZZ_CHECK(warning.empty() || config.query_interval == 3.0 / 24.0);

  const std::string value = "COM" + std::to_string(port);
  IniFile written(text);
  written.WriteString("main", "ComPort", value);
  FUZZ_CHECK(written.Find("main", "ComPort") == value);
  // The first pairs only: each look-up reads the whole text.
  auto pairs = Pairs(text);
  if (pairs.size() > 64) pairs.resize(64);
  for (const auto& [section, key] : pairs) {
    if (SameNoCase(section, "main") && SameNoCase(key, "ComPort")) continue;
    FUZZ_CHECK(written.Find(section, key) == ini.Find(section, key));
  }
  // Writing the same value again changes nothing at all.
  IniFile again(written.text());
  again.WriteString("main", "ComPort", value);
  FUZZ_CHECK(again.text() == written.text());
  return 0;
}
