// Text and failure helpers with the language runtime's semantics, for the workflow only:
// 1-based positions, case-insensitive search in the ANSI code page, and the runtime's
// numbered failures raised as RaisedError.
#pragma once

#include <cstdint>
#include <string>

#include "platform/raised_error.h"

namespace dravlin::rt {

inline constexpr std::int32_t kInvalidCall = 5;
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kOutOfMemory = 7;

// The runtime's description for its own failure numbers.
std::string ErrorDescription(std::int32_t number);
RaisedError Error(std::int32_t number);

// Lower case for ANSI (Windows-1252) text: ASCII letters and the accented capitals.
char LowerChar(char c);
std::string LCase(const std::string& text);
// Removes leading and trailing spaces (the space character only).
std::string Trim(const std::string& text);

// First occurrence of pattern at or after start (1-based), ignoring letter case when
// ignoreCase. Start below 1 fails with 5; start past the end gives 0; an empty pattern is
// found at start.
std::int64_t InStr(std::int64_t start, const std::string& text, const std::string& pattern,
                   bool ignoreCase);
// Last occurrence that begins at or before start (-1: the end of the text).
std::int64_t InStrRev(const std::string& text, const std::string& pattern, std::int64_t start,
                      bool ignoreCase);
// Up to length characters from start (1-based). Start below 1 or a negative length fails with 5.
std::string Mid(const std::string& text, std::int64_t start, std::int64_t length);

// A path as the ANSI file functions read it: up to its first NUL character.
std::string AnsiPath(const std::string& path);

}  // namespace dravlin::rt
