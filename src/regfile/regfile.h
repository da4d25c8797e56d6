// Registry export files (.reg): a neutral model of their contents, a reader for the two
// formats regedit writes and a writer for the older one. Nothing here knows the machine.
//
// Reader rules worth knowing:
// - The header decides the format ("REGEDIT4" or "Windows Registry Editor Version 5.00"); the
//   byte-order mark decides the encoding. UTF-16LE (FF FE) and UTF-8 (EF BB BF) text is
//   converted to Windows-1252. A character that has no Windows-1252 byte is kept in key and
//   value names as platform/ansi_names.h holds it (Windows holds such names; only its ANSI
//   calls cannot spell them), and string data reads '?' there, as the ANSI calls return it.
//   Without a mark the bytes are Windows-1252 already and are kept as they are. A NUL in the
//   text is refused.
// - In a Version 5.00 file, hex(1), hex(2) and hex(7) data is UTF-16LE text (as regedit
//   exports it) and is converted to Windows-1252 bytes; in a REGEDIT4 file all hex data is raw.
// - Inside "...", only \\ and \" are escapes; any other backslash sequence is refused, because
//   regedit never writes one and a hand-written "C:\path" would otherwise load silently wrong.
// - A malformed file is refused as a whole: parsing builds the complete model before anyone
//   applies it, and the error names the file, the 1-based line and what was expected.
// - A file that ends inside a number or byte list, without a line break, is refused as cut
//   short; so is a UTF-16LE file that ends in half a character.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/types.h"

namespace dravlin::regfile {

// A refusal of malformed input: "file:line: what" (line 0: the file as a whole).
class FormatError : public std::runtime_error {
 public:
  FormatError(std::string file, int line, std::string what);

  const std::string& file() const { return file_; }
  int line() const { return line_; }
  const std::string& expected() const { return what_; }

 private:
  std::string file_;
  int line_;
  std::string what_;
};

// A refusal to write what the format cannot carry. Not std::invalid_argument: that type's
// constructor brings the library's second string implementation into the Windows program.
class WriteError : public std::exception {
 public:
  explicit WriteError(std::string what) : what_(std::move(what)) {}
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string what_;
};

enum class RegFormat { Regedit4, Version5 };

struct RegValueEntry {
  std::string name;  // empty: the key's default value ("@")
  std::uint32_t type = 0;
  std::string data;     // raw ANSI bytes, NULs included
  bool remove = false;  // "name"=-
  int line = 0;         // where it was read (0 when built in code)
  // String data holding characters that Windows-1252 lacks, as Windows keeps it: UTF-16LE,
  // terminator included. data is then what the ANSI calls read ('?' for each such character).
  std::string wide{};

  friend bool operator==(const RegValueEntry& a, const RegValueEntry& b) {
    return a.name == b.name && a.type == b.type && a.data == b.data && a.remove == b.remove &&
           a.wide == b.wide;
  }
};

struct RegKeyEntry {
  // Full path with the long root name: "HKEY_LOCAL_MACHINE\SOFTWARE\...".
  std::string path;
  bool remove = false;  // [-path]: delete the key and its subtree
  std::vector<RegValueEntry> values;
  int line = 0;

  friend bool operator==(const RegKeyEntry& a, const RegKeyEntry& b) {
    return a.path == b.path && a.remove == b.remove && a.values == b.values;
  }
};

// What reading found besides the keys.
struct ReadNotes {
  // Keys and value names holding characters without a Windows-1252 byte, and values whose
  // string data reads '?' for such characters.
  std::size_t heldKeyNames = 0;
  std::size_t heldValueNames = 0;
  std::size_t ansiData = 0;
  // Keys of roots left out (ReadOptions::skipOtherRoots), by root name.
  std::map<std::string, std::size_t> skippedKeys;
};

struct RegFile {
  RegFormat format = RegFormat::Regedit4;
  std::vector<RegKeyEntry> keys;  // in file order; a key may appear more than once
  ReadNotes notes;
};

struct ReadOptions {
  // Leave out the keys of HKEY_CURRENT_CONFIG, HKEY_DYN_DATA and HKEY_PERFORMANCE_DATA (a
  // whole-registry export holds them) instead of refusing the file.
  bool skipOtherRoots = false;
};

// Splits "HKLM\A\B" (any accepted root spelling) into the root handle and "A\B".
// Returns false for an unknown root.
bool SplitRootPath(std::string_view path, platform::HKey* root, std::string* subPath);
// The long name of a root handle ("HKEY_LOCAL_MACHINE"), empty for others.
std::string_view RootName(platform::HKey root);

// Told now and then how far a long read has come: `done` of `total` units of a stage
// ("reading": bytes of the file, "loading": keys into the machine).
using Progress =
    std::function<void(std::string_view stage, std::uint64_t done, std::uint64_t total)>;

// Parses the bytes of a .reg file; fileName only labels errors.
RegFile ParseRegFile(std::string_view bytes, const std::string& fileName,
                     const ReadOptions& options = {});
// Reads and parses a file; an unreadable file is a FormatError with line 0.
RegFile ReadRegFile(const std::filesystem::path& path, const std::string& displayName,
                    const Progress& progress = {}, const ReadOptions& options = {});

// A REGEDIT4 text (CRLF lines) that ParseRegFile reads back to the same model.
// Throws WriteError for what the format cannot carry (a line break or NUL in a
// name, string data that the code page lacks, values below a key deletion, an unknown root).
std::string WriteRegedit4(const RegFile& file);

// The same model as Version 5.00 text (UTF-16LE with its byte-order mark), which carries
// names holding characters that Windows-1252 lacks (platform/ansi_names.h).
std::string WriteVersion5(const RegFile& file);

namespace detail {
// ASCII letters of either case alike, as the root names and keywords of the format are.
bool EqualsNoCase(std::string_view a, std::string_view b);
}  // namespace detail

// Windows-1252 conversions. ToCp1252 returns false for a character without a byte.
bool ToCp1252(char32_t c, char* out);
char32_t FromCp1252(unsigned char byte);

}  // namespace dravlin::regfile
