#pragma once
// A fresh directory under /tmp for one test, removed with everything in it afterwards.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <stdlib.h>

namespace drover::testing_support {

class TempDir {
 public:
  TempDir() {
    std::string pattern = "/tmp/drover-test-XXXXXX";
    if (::mkdtemp(pattern.data())) m_path = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!m_path.empty()) {
      // Make read-only leftovers removable.
      std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
      std::filesystem::remove_all(m_path, ec);
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

}  // namespace drover::testing_support
