#pragma once
// Helpers of the tests that run the real program: a private copy of the program directory
// (where "Result.txt" goes), a child process with its own environment and working directory,
// texts with wildcards, and the firmware images of the build.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/file_util.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace drover::testing_support {

struct ProcessResult {
  int exitCode = -1;  // -1: did not exit normally
  std::string out;
  std::string err;
};

// Runs exe with args in cwd; env entries ("NAME=value") replace the inherited ones, and every
// DROVER_ variable not given is removed. Standard input is /dev/null; a child that runs for
// more than two minutes is killed.
inline ProcessResult RunProcess(const std::string& exe, const std::vector<std::string>& args,
                                const std::vector<std::string>& env, const std::string& cwd,
                                const std::string& scratch) {
  const std::string outPath = scratch + "/stdout.txt";
  const std::string errPath = scratch + "/stderr.txt";
  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("DROVER_", 0) != 0) envText.emplace_back(*e);
  for (const std::string& e : env) envText.push_back(e);
  std::vector<std::string> argText{exe};
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (std::string& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::alarm(120);
    ::execve(exe.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ProcessResult r;
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  r.out = ReadAll(outPath);
  r.err = ReadAll(errPath);
  return r;
}

// A private program directory holding a copy of the built program.
class ProgramCopy {
 public:
  ProgramCopy() {
    std::filesystem::create_directories(m_dir.File("bin"));
    std::filesystem::copy_file(DROVER_BIN_DIR "/drover", Exe(), std::filesystem::copy_options::overwrite_existing);
  }
  std::string Dir() const { return m_dir.File("bin"); }
  std::string Exe() const { return m_dir.File("bin/drover"); }
  std::string ResultPath() const { return m_dir.File("bin/Result.txt"); }
  bool HasResult() const {
    std::string p = ResultPath();
    return FileExists(p);
  }
  std::string Result() const { return ReadAll(ResultPath()); }
  // Room for the test's own files (working directory, images, dumps).
  std::string Scratch() const { return m_dir.Path(); }

 private:
  TempDir m_dir;
};

// True when text matches pattern, where "{*}" in the pattern stands for any run of characters
// without a line break and everything else must match exactly.
inline bool MatchPieces(const std::string& text, std::size_t at, const std::vector<std::string>& pieces,
                        std::size_t k) {
  if (k == pieces.size()) return at == text.size();
  // Piece k follows a wildcard: try every place the wildcard can end without a line break.
  for (std::size_t end = at; end <= text.size(); ++end) {
    if (text.compare(end, pieces[k].size(), pieces[k]) == 0 && MatchPieces(text, end + pieces[k].size(), pieces, k + 1))
      return true;
    if (end < text.size() && (text[end] == '\r' || text[end] == '\n')) break;
  }
  return false;
}

inline bool MatchesPattern(const std::string& text, const std::string& pattern) {
  std::vector<std::string> pieces;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t at = pattern.find("{*}", pos);
    pieces.push_back(pattern.substr(pos, at == std::string::npos ? std::string::npos : at - pos));
    if (at == std::string::npos) break;
    pos = at + 3;
  }
  if (text.compare(0, pieces[0].size(), pieces[0]) != 0) return false;
  if (pieces.size() == 1) return text.size() == pieces[0].size();
  return MatchPieces(text, pieces[0].size(), pieces, 1);
}

inline std::vector<std::uint8_t> Firmware(const std::string& name) {
  std::vector<std::uint8_t> data;
  LoadFile(std::string(DROVER_FIRMWARE_DIR) + "/" + name, data);
  return data;
}

}  // namespace drover::testing_support
