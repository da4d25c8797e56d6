// Generated registry exports shaped like a whole Windows XP machine's: a tree of keys with the
// depth, name lengths and value mix that a real regedit export shows, in either file format.
// The same seed and size always give the same bytes, so timings and failures can be repeated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "regfile/regfile.h"

namespace dravlin::testing {

struct ExportShape {
  std::size_t keys = 1000;  // generated keys, below HKEY_LOCAL_MACHINE\SOFTWARE
  regfile::RegFormat format = regfile::RegFormat::Version5;
  std::uint64_t seed = 1;
};

// The generated keys as a RegFile model (keys in export order: pre-order, siblings sorted).
regfile::RegFile GenerateKeys(const ExportShape& shape);

// The text of a .reg file holding `base` followed by the generated keys: REGEDIT4 as
// Windows-1252 bytes, Version 5.00 as UTF-16LE with its byte-order mark, CRLF lines.
std::string ExportText(const regfile::RegFile& base, const ExportShape& shape);

// Copies the machine folder `from` to `to`, replacing its registry.reg with ExportText of the
// folder's own registry plus the generated keys. Returns the size of the new registry.reg.
std::uintmax_t WriteExportMachine(const std::filesystem::path& from,
                                  const std::filesystem::path& to, const ExportShape& shape);

}  // namespace dravlin::testing
