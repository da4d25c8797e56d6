#include "workflow/runtime.h"

#include <algorithm>
#include <array>
#include <vector>

namespace dravlin::rt {

std::string ErrorDescription(std::int32_t number) {
  switch (number) {
    case 5:
      return "Invalid procedure call or argument";
    case 6:
      return "Overflow";
    case 7:
      return "Out of memory";
    case 9:
      return "Subscript out of range";
    case 13:
      return "Type mismatch";
    case 52:
      return "Bad file name or number";
    case 53:
      return "File not found";
    case 55:
      return "File already open";
    case 57:
      return "Device I/O error";
    case 61:
      return "Disk full";
    case 62:
      return "Input past end of file";
    case 70:
      return "Permission denied";
    case 75:
      return "Path/File access error";
    case 76:
      return "Path not found";
    default:
      return "Application-defined or object-defined error";
  }
}

RaisedError Error(std::int32_t number) {
  return RaisedError(number, kDefaultErrorSource, ErrorDescription(number));
}

namespace {

constexpr char LowerOf(unsigned char u) {
  if (u >= 'A' && u <= 'Z') return static_cast<char>(u + 32);
  // Windows-1252 capitals: À..Þ except ×, and Š Œ Ž Ÿ.
  if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return static_cast<char>(u + 32);
  if (u == 0x8A || u == 0x8C || u == 0x8E) return static_cast<char>(u + 16);
  if (u == 0x9F) return static_cast<char>(0xFF);
  return static_cast<char>(u);
}

// Looked up, not computed: every character of every case-blind search passes through here.
constexpr std::array<char, 256> kLower = [] {
  std::array<char, 256> table{};
  for (unsigned u = 0; u < 256; ++u) table[u] = LowerOf(static_cast<unsigned char>(u));
  return table;
}();

}  // namespace

char LowerChar(char c) {
  return kLower[static_cast<unsigned char>(c)];
}

std::string LCase(const std::string& text) {
  std::string out = text;
  std::transform(out.begin(), out.end(), out.begin(), LowerChar);
  return out;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

namespace {

// First occurrence of the pattern [p, p + m) in the text [t, t + n) at or after `from`,
// comparing letters as LowerChar gives them when Fold is set (Knuth-Morris-Pratt: linear in both
// lengths, so hostile texts of megabytes cannot make a search take quadratic time). Iterators, so
// that a search from the end walks both texts backwards without copying them.
template <bool Fold, typename It>
std::size_t Search(It t, std::size_t n, It p, std::size_t m, std::size_t from) {
  if (m == 0) return from <= n ? from : std::string::npos;
  const auto at = [](It s, std::size_t i) { return Fold ? LowerChar(s[i]) : s[i]; };
  // The table of a short pattern, as the program's own patterns are, needs no allocation.
  std::array<std::size_t, 64> small{};
  std::vector<std::size_t> large;
  if (m > small.size()) large.assign(m, 0);
  std::size_t* border = m > small.size() ? large.data() : small.data();
  for (std::size_t i = 1, k = 0; i < m; ++i) {
    while (k > 0 && at(p, i) != at(p, k)) k = border[k - 1];
    if (at(p, i) == at(p, k)) ++k;
    border[i] = k;
  }
  const char first = at(p, 0);
  for (std::size_t i = from, k = 0; i < n; ++i) {
    // With nothing matched, only a character that can begin a match needs the table.
    if (k == 0) {
      while (i < n && at(t, i) != first) ++i;
      if (i == n) break;
    }
    while (k > 0 && at(t, i) != at(p, k)) k = border[k - 1];
    if (at(t, i) == at(p, k)) ++k;
    if (k == m) return i + 1 - m;
  }
  return std::string::npos;
}

template <typename It>
std::size_t Search(It t, std::size_t n, It p, std::size_t m, std::size_t from, bool fold) {
  return fold ? Search<true>(t, n, p, m, from) : Search<false>(t, n, p, m, from);
}

}  // namespace

std::int64_t InStr(std::int64_t start, const std::string& text, const std::string& pattern,
                   bool ignoreCase) {
  if (start < 1) throw Error(kInvalidCall);
  const auto length = static_cast<std::int64_t>(text.size());
  if (start > length) return 0;
  if (pattern.empty()) return start;
  const std::size_t at = Search(text.begin(), text.size(), pattern.begin(), pattern.size(),
                                static_cast<std::size_t>(start - 1), ignoreCase);
  return at == std::string::npos ? 0 : static_cast<std::int64_t>(at) + 1;
}

std::int64_t InStrRev(const std::string& text, const std::string& pattern, std::int64_t start,
                      bool ignoreCase) {
  const auto length = static_cast<std::int64_t>(text.size());
  if (start == -1) {
    if (length == 0) return 0;
    start = length;
  }
  if (start < 1) throw Error(kInvalidCall);
  if (length == 0 || start > length) return 0;
  if (pattern.empty()) return start;
  // The occurrence must lie within the first `start` characters: search that prefix backwards.
  const std::size_t at =
      Search(text.rend() - static_cast<std::ptrdiff_t>(start), static_cast<std::size_t>(start),
             pattern.rbegin(), pattern.size(), 0, ignoreCase);
  if (at == std::string::npos) return 0;
  return start - static_cast<std::int64_t>(at) - static_cast<std::int64_t>(pattern.size()) + 1;
}

std::string Mid(const std::string& text, std::int64_t start, std::int64_t length) {
  if (start < 1 || length < 0) throw Error(kInvalidCall);
  const auto size = static_cast<std::int64_t>(text.size());
  if (start > size) return {};
  const std::int64_t available = size - start + 1;
  return text.substr(static_cast<std::size_t>(start - 1),
                     static_cast<std::size_t>(std::min(length, available)));
}

std::string AnsiPath(const std::string& path) {
  return path.substr(0, path.find('\0'));
}

}  // namespace dravlin::rt
