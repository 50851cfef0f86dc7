#include "image/ini_file.h"

#include <cstdio>
#include <fstream>

#include "base/strfmt.h"

namespace drover {

namespace {

bool NamesEqual(const std::string& a, const std::string& b, bool caseInsensitive) {
  return caseInsensitive ? EqualsNoCase(a, b) : a == b;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// Unsigned 32-bit conversion with automatic base, as the C library's strtoul does on a system
// whose long is 32 bits: an overflowing text gives 0xFFFFFFFF, a leading "-" negates modulo 2^32.
std::uint32_t ToUInt32AutoBase(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == '0') {
    // "0x" introduces hexadecimal only when a hex digit follows; "0x" alone is the number 0.
    if (i + 2 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') && DigitValue(text[i + 2]) < 16) {
      base = 16;
      i += 2;
    } else {
      base = 8;
    }
  }
  std::uint64_t value = 0;
  bool overflow = false;
  bool any = false;
  for (; i < text.size(); ++i) {
    int d = DigitValue(text[i]);
    if (d >= base) break;
    any = true;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    if (value > 0xFFFFFFFFull) {
      overflow = true;
      value = 0xFFFFFFFFull;
    }
  }
  if (!any) return 0;
  if (overflow) return 0xFFFFFFFFu;
  std::uint32_t v = static_cast<std::uint32_t>(value);
  return negative ? static_cast<std::uint32_t>(0u - v) : v;
}

}  // namespace

CIniFile::CIniFile(std::string path) : m_strPath(std::move(path)) {}

void CIniFile::ReadIniFile() {
  std::ifstream in(m_strPath, std::ios::binary);
  if (!in) return;
  std::string currentSection;
  std::string line;
  bool stop = false;
  while (!stop && std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    ParseLine(line, currentSection, stop);
  }
}

void CIniFile::ReadFromText(std::string_view text) {
  // Built-in texts are UTF-8 already; lines of any length are kept whole (nothing is cut).
  std::string currentSection;
  bool stop = false;
  std::size_t pos = 0;
  while (!stop && pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(pos, end - pos));
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    ParseLine(line, currentSection, stop);
  }
}

void CIniFile::ParseLine(const std::string& line, std::string& currentSection, bool& stop) {
  const unsigned char first = static_cast<unsigned char>(line[0]);
  if (first < 0x20 || first > 0x7E) {
    // The value is shown as a signed 8-bit number, so a byte-order mark reads -17.
    std::printf("Failing on char %d\n", static_cast<int>(static_cast<signed char>(first)));
    std::fflush(stdout);
    stop = true;
    return;
  }
  const std::size_t p = line.find_first_of(";#[=");
  if (p == std::string::npos) {
    SetValue(currentSection, line, std::string(), true);
    return;
  }
  switch (line[p]) {
    case '[': {
      const std::size_t close = line.rfind(']');
      if (close != std::string::npos && close > p) {
        currentSection = line.substr(p + 1, close - p - 1);
        AddSection(currentSection);
      }
      break;
    }
    case '=':
      SetValue(currentSection, line.substr(0, p), line.substr(p + 1), true);
      break;
    default: {  // ';' or '#'
      std::string comment = line.substr(p + 1);
      if (m_sections.empty())
        AddHeaderComment(comment);
      else
        AddSectionComment(currentSection, comment);
      break;
    }
  }
}

void CIniFile::Clear() {
  m_sections.clear();
  m_sectionNames.clear();
  m_headerComments.clear();
}

int CIniFile::FindSection(const std::string& name) const {
  for (std::size_t i = 0; i < m_sectionNames.size(); ++i)
    if (NamesEqual(m_sectionNames[i], name, m_bCaseInsensitive)) return static_cast<int>(i);
  return -1;
}

int CIniFile::FindKey(int sectionIndex, const std::string& name) const {
  if (sectionIndex < 0 || static_cast<std::size_t>(sectionIndex) >= m_sections.size()) return -1;
  const Section& s = m_sections[static_cast<std::size_t>(sectionIndex)];
  for (std::size_t i = 0; i < s.keys.size(); ++i)
    if (NamesEqual(s.keys[i], name, m_bCaseInsensitive)) return static_cast<int>(i);
  return -1;
}

int CIniFile::AddSection(const std::string& name) {
  m_sections.emplace_back();
  m_sectionNames.push_back(name);
  return static_cast<int>(m_sections.size() - 1);
}

bool CIniFile::SetValue(const std::string& section, const std::string& key, const std::string& value,
                        bool create) {
  int s = FindSection(section);
  if (s < 0) {
    if (!create) return false;
    s = AddSection(section);
  }
  Section& sec = m_sections[static_cast<std::size_t>(s)];
  const int k = FindKey(s, key);
  if (k >= 0) {
    sec.values[static_cast<std::size_t>(k)] = value;
    return true;
  }
  if (!create) return false;
  sec.keys.push_back(key);
  sec.values.push_back(value);
  return true;
}

bool CIniFile::SetValueInt(const std::string& section, const std::string& key, std::int32_t number,
                           bool create) {
  return SetValue(section, key, StrFormat("%d", number), create);
}

std::string CIniFile::GetValue(const std::string& section, const std::string& key, const std::string& def) const {
  return GetValue(FindSection(section), key, def);
}

std::string CIniFile::GetValue(int sectionIndex, const std::string& key, const std::string& def) const {
  const int k = FindKey(sectionIndex, key);
  if (k < 0) return def;
  return m_sections[static_cast<std::size_t>(sectionIndex)].values[static_cast<std::size_t>(k)];
}

std::uint32_t CIniFile::GetValueInt(const std::string& section, const std::string& key, std::int32_t def) const {
  return ToUInt32AutoBase(GetValue(section, key, StrFormat("%d", def)));
}

std::uint32_t CIniFile::GetValueInt(int sectionIndex, const std::string& key, std::int32_t def) const {
  return ToUInt32AutoBase(GetValue(sectionIndex, key, StrFormat("%d", def)));
}

bool CIniFile::AddSectionComment(const std::string& section, const std::string& comment) {
  const int s = FindSection(section);
  if (s < 0) return false;
  m_sections[static_cast<std::size_t>(s)].comments.push_back(comment);
  return true;
}

void CIniFile::AddHeaderComment(const std::string& comment) { m_headerComments.push_back(comment); }

std::vector<std::string> CIniFile::KeyNames(int sectionIndex) const {
  if (sectionIndex < 0 || static_cast<std::size_t>(sectionIndex) >= m_sections.size()) return {};
  return m_sections[static_cast<std::size_t>(sectionIndex)].keys;
}

}  // namespace drover
