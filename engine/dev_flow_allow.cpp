// The USB identity allow-list: a built-in copy and "VidPidList.ini" beside the program. Each
// line is one identity fragment; lines beginning "//" never match because "//" never occurs in
// an identity, which is what makes them comments.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/file_util.h"
#include "base/message_box.h"
#include "base/settings.h"
#include "base/strfmt.h"
#include "base/trace.h"
#include "engine/dev_flow.h"

namespace drover {

namespace {

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n\v\f";
  const std::size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  const std::size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

// Trimmed, non-empty lines of a text (lines end in CR LF; a lone LF is taken as well).
std::vector<std::string> Entries(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::string t = Trim(line);
    if (!t.empty()) out.push_back(std::move(t));
  }
  return out;
}

}  // namespace

int CDevFlow::DEV_CheckVidPidBuiltIn(const std::string& identity) {
  TraceScope scope("CDevFlow::DEV_CheckVidPidBuiltIn");
  if (!m_ctx.pVidPidList) {
    auto list = std::make_unique<CICTypeIni>(0);
    list->LoadBuiltInDefinition(kVidPidListResource);
    m_ctx.pVidPidList = std::move(list);
  }
  for (std::string entry : Entries(m_ctx.pVidPidList->DefinitionText())) {
    // The built-in copy matches any release: the entry is cut before the '&' of "&REV".
    const std::size_t rev = entry.find("REV");
    if (rev != std::string::npos) entry.resize(rev > 0 ? rev - 1 : 0);
    // An entry cut to nothing would occur in every identity; it allows nothing.
    if (entry.empty()) continue;
    if (ContainsNoCase(identity, entry)) return 1;
  }
  return 0;
}

int CDevFlow::DEV_CheckVidPidFile(const std::string& identity) {
  TraceScope scope("CDevFlow::DEV_CheckVidPidFile");
  std::string path = GetModuleDirectory(true) + kVidPidListFile;
  const std::string shown = path;
  if (!FileExists(path)) {
    ShowMessageBox(StrFormat("%s does not exist", shown.c_str()));
    return 0;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    ShowMessageBox(StrFormat("Fail to open file %s", shown.c_str()));
    return 0;
  }
  std::ostringstream text;
  text << file.rdbuf();
  for (const std::string& entry : Entries(text.str())) {
    // The release number is part of the match: an entry without "REV" never allows a device.
    if (ContainsNoCase(identity, entry) && ContainsNoCase(entry, "REV")) return 1;
  }
  return 0;
}

int CDevFlow::DEV_CheckVidPidBin() {
  TraceScope scope("CDevFlow::DEV_CheckVidPidBin");
  return !m_imageState.strVidPid.empty() && m_strVidPid == m_imageState.strVidPid ? 1 : 0;
}

bool CDevFlow::DEV_ChecksEnabled() {
  return ConfigInt("CheckVIDPID_INI", 0) != 0 || ConfigInt("CheckVIDPID_BIN", 0) != 0;
}

std::uint32_t CDevFlow::DEV_CheckAllowed() {
  const std::uint32_t ini = ConfigInt("CheckVIDPID_INI", 0);
  if (ini == 2) return DEV_CheckVidPidFile(m_strVidPidRev) ? 1 : 0;
  if (ini != 0) return DEV_CheckVidPidBuiltIn(m_strVidPidRev) ? 1 : 0;
  if (ConfigInt("CheckVIDPID_BIN", 0) != 0) return DEV_CheckVidPidBin() ? 1 : 0;
  return 1;
}

}  // namespace drover
