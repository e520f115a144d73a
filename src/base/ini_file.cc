#include "base/ini_file.h"

#include <cctype>
#include <limits>

namespace qarn {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// The section name of a "[name]" line, or empty when the line is not a section header.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  const size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

// Splits "key=value"; false when the line has no '='.
bool SplitEntry(std::string_view line, std::string_view* key, std::string_view* value) {
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  *key = Trim(line.substr(0, eq));
  *value = Trim(line.substr(eq + 1));
  return true;
}

}  // namespace

std::optional<int32_t> ParseIniInteger(std::string_view text) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (!text.empty() && text.front() == '$') {
    base = 16;
    text.remove_prefix(1);
  } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (const char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFLL) return std::nullopt;
  }
  if (base == 10) {
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : std::numeric_limits<int32_t>::max();
    if (value > limit) return std::nullopt;
    return static_cast<int32_t>(negative ? -value : value);
  }
  // Hexadecimal text covers the whole 32-bit pattern: $FFFFFFFF is -1.
  const auto bits = static_cast<uint32_t>(value);
  const auto result = static_cast<int32_t>(bits);
  return negative ? static_cast<int32_t>(0u - bits) : result;
}

IniFile::IniFile(std::string text) : text_(std::move(text)) {}

std::vector<IniFile::Line> IniFile::SplitLines() const {
  std::vector<Line> lines;
  size_t begin = 0;
  while (begin < text_.size()) {
    size_t end = text_.find('\n', begin);
    if (end == std::string::npos) end = text_.size();
    size_t content_end = end;
    if (content_end > begin && text_[content_end - 1] == '\r') --content_end;
    lines.push_back({begin, content_end});
    begin = end + 1;
  }
  return lines;
}

std::optional<std::string> IniFile::Find(std::string_view section, std::string_view key) const {
  const std::string_view text = text_;
  bool in_section = false;
  bool seen_section = false;
  for (const Line& line : SplitLines()) {
    const std::string_view content = text.substr(line.begin, line.end - line.begin);
    if (const auto name = SectionName(content)) {
      // The first section of a name is the one that counts.
      if (in_section) return std::nullopt;
      in_section = !seen_section && EqualsNoCase(*name, section);
      seen_section = seen_section || in_section;
      continue;
    }
    if (!in_section) continue;
    std::string_view k, v;
    if (SplitEntry(content, &k, &v) && EqualsNoCase(k, key)) {
      return std::string(v.substr(0, kIniValueMax));
    }
  }
  return std::nullopt;
}

std::vector<IniFile::Item> IniFile::Items() const {
  const std::string_view text = text_;
  std::vector<Item> items;
  std::string section;
  size_t number = 0;
  for (const Line& line : SplitLines()) {
    const std::string_view content = text.substr(line.begin, line.end - line.begin);
    Item item{Item::kOther, ++number, {}, {}, {}};
    std::string_view k, v;
    if (Trim(content).empty()) {
      item.kind = Item::kBlank;
    } else if (const auto name = SectionName(content)) {
      item.kind = Item::kSection;
      section = std::string(*name);
      item.section = section;
    } else if (SplitEntry(content, &k, &v)) {
      item.kind = Item::kEntry;
      item.section = section;
      item.key = std::string(k);
      item.value = std::string(v.substr(0, kIniValueMax));
    } else {
      item.value = std::string(Trim(content));
    }
    items.push_back(std::move(item));
  }
  return items;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                const std::string& fallback) const {
  auto value = Find(section, key);
  return value ? *value : fallback;
}

int32_t IniFile::ReadInteger(std::string_view section, std::string_view key,
                             int32_t fallback) const {
  const auto value = Find(section, key);
  if (!value) return fallback;
  return ParseIniInteger(*value).value_or(fallback);
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool fallback) const {
  return ReadInteger(section, key, fallback ? 1 : 0) != 0;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  const std::string_view text = text_;
  const std::string eol = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  const std::string entry = std::string(key) + "=" + std::string(value);
  bool in_section = false;
  bool found_section = false;
  size_t insert_at = std::string::npos;  // after the last non-blank line of the section
  for (const Line& line : SplitLines()) {
    const std::string_view content = text.substr(line.begin, line.end - line.begin);
    if (const auto name = SectionName(content)) {
      if (in_section) break;
      in_section = !found_section && EqualsNoCase(*name, section);
      if (in_section) {
        found_section = true;
        insert_at = line.end;
      }
      continue;
    }
    if (!in_section) continue;
    std::string_view k, v;
    if (SplitEntry(content, &k, &v) && EqualsNoCase(k, key)) {
      text_.replace(line.begin, line.end - line.begin, entry);
      return;
    }
    if (!Trim(content).empty()) insert_at = line.end;
  }
  if (found_section) {
    text_.insert(insert_at, eol + entry);
    return;
  }
  if (!text_.empty() && text_.back() != '\n') text_ += eol;
  text_ += "[" + std::string(section) + "]" + eol + entry + eol;
}

}  // namespace qarn
