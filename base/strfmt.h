#pragma once
// printf-style formatting into std::string (g++ 12 has no <format>).
#include <cstdarg>
#include <string>

namespace drover {

std::string StrFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string StrFormatV(const char* fmt, std::va_list args);

// Lower-cases ASCII letters only, as every name comparison of the program does.
std::string AsciiLower(std::string text);
std::string AsciiUpper(std::string text);
bool EqualsNoCase(std::string_view a, std::string_view b);
// Substring test ignoring ASCII case.
bool ContainsNoCase(std::string_view haystack, std::string_view needle);
// Cuts text to at most maxBytes without splitting a UTF-8 character.
std::string CutUtf8(std::string_view text, std::size_t maxBytes);

}  // namespace drover
