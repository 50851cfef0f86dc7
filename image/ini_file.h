#pragma once
// The program's own reader of INI text, held in memory: the loose grammar where the first of
// ";", "#", "[", "=" in a line decides what it is and nothing is trimmed. Never writes to disk.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace drover {

class CIniFile {
 public:
  explicit CIniFile(std::string path = {});
  virtual ~CIniFile() = default;

  void SetPath(std::string path) { m_strPath = std::move(path); }
  const std::string& Path() const { return m_strPath; }
  // Reads the file at the path; an unopenable file leaves the content unchanged.
  void ReadIniFile();
  // Parses text held in memory (a built-in resource).
  void ReadFromText(std::string_view text);
  void Clear();

  int FindSection(const std::string& name) const;
  int FindKey(int sectionIndex, const std::string& name) const;
  int AddSection(const std::string& name);
  bool SetValue(const std::string& section, const std::string& key, const std::string& value, bool create);
  bool SetValueInt(const std::string& section, const std::string& key, std::int32_t number, bool create);
  std::string GetValue(const std::string& section, const std::string& key, const std::string& def) const;
  std::string GetValue(int sectionIndex, const std::string& key, const std::string& def) const;
  // Unsigned 32-bit with automatic base ("0x" hex, leading "0" octal); "-" negates modulo 2^32.
  std::uint32_t GetValueInt(const std::string& section, const std::string& key, std::int32_t def) const;
  std::uint32_t GetValueInt(int sectionIndex, const std::string& key, std::int32_t def) const;
  bool AddSectionComment(const std::string& section, const std::string& comment);
  void AddHeaderComment(const std::string& comment);

  std::size_t SectionCount() const { return m_sections.size(); }
  const std::vector<std::string>& SectionNames() const { return m_sectionNames; }
  const std::vector<std::string>& HeaderComments() const { return m_headerComments; }
  // Key names of a section in reading order (empty for an index out of range).
  std::vector<std::string> KeyNames(int sectionIndex) const;

 private:
  struct Section {
    std::vector<std::string> keys;
    std::vector<std::string> values;
    std::vector<std::string> comments;
  };
  void ParseLine(const std::string& line, std::string& currentSection, bool& stop);

  bool m_bCaseInsensitive = true;
  std::string m_strPath;
  std::vector<Section> m_sections;
  std::vector<std::string> m_sectionNames;
  std::vector<std::string> m_headerComments;
};

}  // namespace drover
