// "sqarn.ini" with the rules of the Windows profile functions that the driver was built on:
// section and key names are case-insensitive, the first section and key of a name win, a
// value is what follows '=' without surrounding blanks, cut at 2047 characters, and a
// missing file or key gives the caller's default. Text is kept as the file's bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qarn {

inline constexpr size_t kIniValueMax = 2047;

class IniFile {
 public:
  IniFile() = default;
  explicit IniFile(std::string text);

  std::optional<std::string> Find(std::string_view section, std::string_view key) const;

  std::string ReadString(std::string_view section, std::string_view key,
                         const std::string& fallback) const;
  // Decimal, or hexadecimal after "0x" or "$", optionally signed, within 32 bits.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const;
  // An integer: 0 is false, any other true; anything else gives `fallback`.
  bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;

  // Sets one key, changing only its own line; a missing key goes at the end of its section,
  // a missing section at the end of the file.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);

  const std::string& text() const { return text_; }

  // Every line of the file as the rules above see it, for a reader that checks the file.
  struct Item {
    enum Kind { kBlank, kSection, kEntry, kOther } kind;
    size_t line;          // 1-based
    std::string section;  // kSection: its name; kEntry: the section it is in (empty before any)
    std::string key;      // kEntry
    std::string value;    // kEntry: as Find gives it; kOther: the line without blanks around
  };
  std::vector<Item> Items() const;

 private:
  struct Line {
    size_t begin;  // offset of the line in text_
    size_t end;    // offset of its line break (or of the text's end)
  };
  std::vector<Line> SplitLines() const;

  std::string text_;
};

// The integer rule of ReadInteger, for other callers of the same format.
std::optional<int32_t> ParseIniInteger(std::string_view text);

}  // namespace qarn
