#pragma once
// File and version helpers on POSIX paths.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace drover {

// The directory of the program's own file (/proc/self/exe), with or without a trailing "/".
std::string GetModuleDirectory(bool withSlash);
// Tests and tools may place the program directory elsewhere; empty restores the real one.
void SetModuleDirectoryOverride(const std::string& directory);

// Backslashes become "/"; a relative path stays relative to the working directory.
std::string ResolvePath(const std::string& path);
// True when a regular file of that name exists; path becomes its absolute form.
bool FileExists(std::string& path);
std::uint64_t GetFileLength(const std::string& path);
// True when the file holds at least n bytes and its first n bytes were read into buffer.
bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>& buffer, std::size_t n);
// Loads a whole image or definition file (empty path, missing or empty file: false).
bool LoadFile(const std::string& path, std::vector<std::uint8_t>& data);
int WriteFileBytes(const std::string& path, std::span<const std::uint8_t> data);
int WriteHexDump(const std::string& path, std::span<const std::uint8_t> data);
// Creates the missing directories of the path's parent chain (the last component names a file).
bool CreateDirectoryChain(const std::string& path);

// a.b.c.d becomes a.b.d (3.0.0.22 gives 3.0.22), cut to 15 characters.
std::string ReduceVersionText(const std::string& fourPartVersion);
// Sets the program version text from the build's four-part version.
void ReadProgramVersion();
const std::string& ProgramVersionText();

// The 8-bit code page of this system is UTF-8: both conversions are identities.
inline std::string NarrowToWide(const std::string& text) { return text; }
inline std::string WideToNarrow(const std::string& text) { return text; }

}  // namespace drover
