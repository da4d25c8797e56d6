// What a run changed on a simulated machine: snapshots of its registry and drive C:, their
// differences, and the lines the transcript shows for them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/machine.h"

namespace dravlin::rehearsal {

using sim::Machine;
using sim::NamedValue;
using sim::RegValue;

struct RegistrySnapshot {
  // Keys by full path ("HKEY_LOCAL_MACHINE\..."), each with its values in key order.
  std::vector<std::pair<std::string, std::vector<NamedValue>>> keys;
};
RegistrySnapshot SnapshotRegistry(const Machine& machine);

struct FileState {
  std::string bytes;
  std::uint32_t attributes = 0;
};
using FileSnapshot = std::map<std::string, FileState>;  // "C:\..." paths
FileSnapshot SnapshotFiles(const Machine& machine);

struct RegChange {
  enum class Kind { KeyAdded, KeyRemoved, ValueAdded, ValueRemoved, ValueChanged };
  Kind kind;
  std::string key;  // full path
  std::string value;
  std::optional<RegValue> before;
  std::optional<RegValue> after;
};
// Keys compare without regard to ASCII letter case, as the registry does. A removed key
// reports only itself (not each subkey and value that went with it); likewise an added one
// reports itself and its values, and its subkeys as keys added.
std::vector<RegChange> DiffRegistry(const RegistrySnapshot& before, const RegistrySnapshot& after);
// The same against the machine as it is now, without a second snapshot.
std::vector<RegChange> DiffRegistry(const RegistrySnapshot& before, const Machine& after);

struct FileChange {
  enum class Kind { Added, Deleted, Changed };
  Kind kind;
  std::string path;
  std::string detail;  // for Changed: "content", "attributes ..." or both
};
std::vector<FileChange> DiffFiles(const FileSnapshot& before, const FileSnapshot& after);

// Readable data: REG_SZ "text" (one terminating NUL left out; other NULs as \0, control
// characters as \xNN, a lone surrogate as \uNNNN, Windows-1252 and the UTF-16 form shown as
// UTF-8), REG_DWORD 0x0000000a (10), hex bytes else.
std::string DescribeValue(const RegValue& value);
std::string TypeName(std::uint32_t type);
// One line per change, e.g. "  + value HKEY_...\Run [x] = REG_SZ "...""; "(no change)" if none.
std::string FormatRegistryChanges(const std::vector<RegChange>& changes);
std::string FormatFileChanges(const std::vector<FileChange>& changes);

}  // namespace dravlin::rehearsal
