#include "base/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>

#include "base/message_box.h"
#include "base/strfmt.h"

namespace drover {

namespace {

std::mutex g_dirLock;
std::string g_dirOverride;

std::string& VersionSlot() {
  static std::string version;
  return version;
}

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string CurrentDirectory() {
  std::string buf(4096, '\0');
  for (;;) {
    if (::getcwd(buf.data(), buf.size())) return std::string(buf.c_str());
    if (errno != ERANGE) return ".";
    buf.resize(buf.size() * 2);
  }
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Writes all bytes and closes; any short write or close error is a failure.
bool WriteWhole(const std::string& path, const char* data, std::size_t n) {
  std::FILE* raw = std::fopen(path.c_str(), "wb");
  if (!raw) return false;
  bool ok = n == 0 || std::fwrite(data, 1, n, raw) == n;
  if (std::fclose(raw) != 0) ok = false;
  return ok;
}

}  // namespace

std::string GetModuleDirectory(bool withSlash) {
  std::string dir;
  {
    std::lock_guard<std::mutex> g(g_dirLock);
    dir = g_dirOverride;
  }
  if (dir.empty()) {
    std::string buf(4096, '\0');
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n > 0 && static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      std::size_t slash = buf.rfind('/');
      dir = slash == std::string::npos ? std::string(".") : buf.substr(0, slash);
    } else {
      dir = ".";
    }
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (withSlash && dir != "/") dir += '/';
  return dir;
}

void SetModuleDirectoryOverride(const std::string& directory) {
  std::lock_guard<std::mutex> g(g_dirLock);
  g_dirOverride = directory;
}

std::string ResolvePath(const std::string& path) {
  // A relative path is left relative to the working directory: resolving it against the
  // program directory could make a download silently pick a different image than the one named.
  std::string out = path;
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

bool FileExists(std::string& path) {
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (path.front() != '/') path = CurrentDirectory() + "/" + path;
  return true;
}

std::uint64_t GetFileLength(const std::string& path) {
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) return 0;
  struct stat st {};
  if (::fstat(::fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& buffer, std::size_t n) {
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  struct stat st {};
  if (::fstat(::fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<std::uint64_t>(st.st_size) < n) return false;
  std::vector<std::uint8_t> data(n);
  if (n != 0 && std::fread(data.data(), 1, n, f.get()) != n) return false;
  buffer = std::move(data);
  return true;
}

bool LoadFile(const std::string& path, std::vector<std::uint8_t>& data) {
  if (path.empty()) return false;
  std::string full = ResolvePath(path);
  if (!FileExists(full)) return false;
  const std::uint64_t length = GetFileLength(full);
  if (length == 0) return false;
  return ReadFileBytes(full, data, static_cast<std::size_t>(length));
}

int WriteFileBytes(const std::string& path, std::span<const std::uint8_t> data) {
  if (path.empty() || data.empty()) return 0;
  return WriteWhole(path, reinterpret_cast<const char*>(data.data()), data.size()) ? 1 : 0;
}

int WriteHexDump(const std::string& path, std::span<const std::uint8_t> data) {
  if (path.empty() || data.empty()) return 0;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(data.size() * 3 + (data.size() / 16) * 2);
  for (std::size_t i = 0; i < data.size(); ++i) {
    text += kHex[data[i] >> 4];
    text += kHex[data[i] & 0x0F];
    text += ' ';
    // Every full line of 16 groups ends in CR LF, except after the very last byte.
    if ((i + 1) % 16 == 0 && i + 1 != data.size()) text += "\r\n";
  }
  return WriteWhole(path, text.data(), text.size()) ? 1 : 0;
}

bool CreateDirectoryChain(const std::string& path) {
  if (path.empty()) return false;
  const std::string full = path.front() == '/' ? path : CurrentDirectory() + "/" + path;
  // Each "/" after the root closes one directory of the chain; the last component names a file.
  for (std::size_t pos = full.find('/', 1); pos != std::string::npos; pos = full.find('/', pos + 1)) {
    if (full[pos - 1] == '/') continue;  // "a//b": no empty directory names
    const std::string dir = full.substr(0, pos);
    if (IsDirectory(dir)) continue;
    if (::mkdir(dir.c_str(), 0777) != 0 && !(errno == EEXIST && IsDirectory(dir))) {
      ShowMessageBox(StrFormat("Create Directory (%s) : Failed !", (dir + "/").c_str()));
      return false;
    }
  }
  return true;
}

std::string ReduceVersionText(const std::string& fourPartVersion) {
  const std::size_t p1 = fourPartVersion.find('.');
  const std::size_t dot2 = p1 == std::string::npos ? std::string::npos : fourPartVersion.find('.', p1 + 1);
  const std::size_t p3 = dot2 == std::string::npos ? std::string::npos : fourPartVersion.find('.', dot2 + 1);
  std::string reduced;
  if (p3 == std::string::npos) {
    // Not a four-part text: keep it as it is rather than invent parts.
    reduced = fourPartVersion;
  } else {
    const std::size_t p2 = dot2 + 1;
    reduced = fourPartVersion.substr(0, p2) + fourPartVersion.substr(p3 + 1);
  }
  return CutUtf8(reduced, 15);
}

void ReadProgramVersion() { VersionSlot() = ReduceVersionText(DROVER_VERSION_TEXT); }

const std::string& ProgramVersionText() { return VersionSlot(); }

}  // namespace drover
