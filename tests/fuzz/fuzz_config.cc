// "sqarn.ini" as any bytes: the settings come out in range, and writing the operator's port
// choice sets ComPort and changes no other value of the file. The configuration check over
// it names only lines the file has, prints no control byte whatever the file holds, and
// leaves the message directory as it found it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "base/ini_file.h"
#include "fakes/memory_file_system.h"
#include "fuzz/fuzz_check.h"
#include "shell/config.h"
#include "shell/config_check.h"

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

// The configuration check of `text` as --check-config runs it, with the serial devices there
// or not and a message directory that takes files or not.
void CheckTheCheck(const std::string& text, uint8_t disk) {
  testing::MemoryFileSystem fs;
  fs.files["sqarn.ini"].data.assign(text.begin(), text.end());
  if (disk & 1) fs.files["/dev/ttyS0"];
  if (disk & 2) fs.files["/dev/ttyUSB0"];
  fs.fail_writes = disk & 4;
  fs.fail_removes = disk & 8;
  const auto before = fs.files;
  const ConfigCheck check = CheckConfig(fs, "sqarn.ini");
  FUZZ_CHECK(check.file_read);
  FUZZ_CHECK(check.ok() == (check.problems.empty() && check.message_dir_error.empty()));
  FUZZ_CHECK(check.message_dir_error.empty() == !(disk & 12));
  if (!(disk & 8)) FUZZ_CHECK(fs.files.size() == before.size());  // the probe is gone

  const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  for (const ConfigCheck::Value& v : check.values) FUZZ_CHECK(v.line <= lines);
  for (const std::string& p : check.problems) {
    if (p.rfind("line ", 0) == 0) FUZZ_CHECK(std::strtoul(p.c_str() + 5, nullptr, 10) - 1 < lines);
  }
  // What a person typed reaches the terminal shown, never as control bytes, in bounded lines
  // (values cut at 80 bytes, a message directory the system names whole).
  const std::string report = FormatConfigCheck(check);
  size_t line_length = 0;
  for (const char c : report) {
    const auto u = static_cast<unsigned char>(c);
    FUZZ_CHECK(c == '\n' || (u >= 0x20 && u != 0x7F));
    line_length = c == '\n' ? 0 : line_length + 1;
    FUZZ_CHECK(line_length <= 4 * kIniValueMax + 1024);
  }
}

}  // namespace
}  // namespace qarn

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qarn;
  FuzzedDataProvider in(data, size);
  const int port = in.ConsumeIntegralInRange(1, 255);
  const auto disk = in.ConsumeIntegral<uint8_t>();
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

  CheckTheCheck(text, disk);
  return 0;
}
