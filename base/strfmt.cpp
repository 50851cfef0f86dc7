#include "base/strfmt.h"

#include <cstdio>
#include <string_view>
#include <vector>

namespace drover {

std::string StrFormatV(const char* fmt, std::va_list args) {
  std::va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
  std::vector<char> big(static_cast<std::size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), fmt, args);
  return std::string(big.data(), static_cast<std::size_t>(n));
}

std::string StrFormat(const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  std::string s = StrFormatV(fmt, args);
  va_end(args);
  return s;
}

static char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
static char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string AsciiLower(std::string text) {
  for (char& c : text) c = LowerChar(c);
  return text;
}

std::string AsciiUpper(std::string text) {
  for (char& c : text) c = UpperChar(c);
  return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerChar(a[i]) != LowerChar(b[i])) return false;
  return true;
}

bool ContainsNoCase(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return true;
  if (needle.size() > haystack.size()) return false;
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i)
    if (EqualsNoCase(haystack.substr(i, needle.size()), needle)) return true;
  return false;
}

std::string CutUtf8(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return std::string(text);
  std::size_t end = maxBytes;
  // Step back over continuation bytes (10xxxxxx) so the cut lands on a character start.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

}  // namespace drover
