// Small operations on single registry keys and values, key tree deletion, subkey listing
// and the listing of registered Browser Helper Objects. Results only: nothing is logged
// or shown, and failures are told through the results ("Error", 0, false).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace dravlin {

// The tagged value of the registry operations: nothing, a 32-bit integer or a text
// (ANSI bytes, NULs allowed).
struct RegData {
  enum class Kind { Empty, Integer, Text };
  Kind kind = Kind::Empty;
  std::int32_t integer = 0;
  std::string text;

  static RegData Empty() { return {}; }
  static RegData Int(std::int32_t v) { return {Kind::Integer, v, {}}; }
  static RegData Str(std::string s) { return {Kind::Text, 0, std::move(s)}; }
  // As the callers take it as text: an integer gives its decimal text, empty gives "".
  std::string AsText() const;
  friend bool operator==(const RegData&, const RegData&) = default;
};

struct BhoEntry {
  std::string Clsid;
  std::string DllPath;
};

class modRegAccess {
 public:
  explicit modRegAccess(platform::Registry& registry) : reg_(registry) {}

  // 1 written, 0 failed, 2 data not convertible to the type.
  std::int16_t WriteRegValue(platform::HKey root, const std::string& keyPath,
                             const std::string& valueName, const RegData& data,
                             std::uint32_t valueType);
  // The data, or the text "Error" (valueType then 0).
  RegData ReadRegValue(platform::HKey root, const std::string& keyPath,
                       const std::string& valueName, std::uint32_t* valueType = nullptr);
  // 1 created, 2 already existed, 0 failed.
  std::int16_t CreateRegKey(platform::HKey root, const std::string& keyPath);
  bool RegKeyExists(platform::HKey root, const std::string& keyPath);
  bool DeleteRegValue(platform::HKey root, const std::string& keyPath,
                      const std::string& valueName);

  bool DeleteRegKey(platform::HKey root, const std::string& keyPath);
  bool DeleteKeyTree(platform::HKey root, const std::string& parentPath,
                     const std::string& childName);
  bool DeleteSingleKey(platform::HKey root, const std::string& keyPath);
  // The subkeys in the registry's order; a failed index keeps its place as a blank name.
  void EnumSubKeys(platform::HKey root, const std::string& keyPath,
                   std::vector<std::string>& names);
  // Rebuilds bho_clsid_arr; returns how many entries it holds.
  std::int32_t EnumBhoClsids(platform::HKey root, const std::string& keyPath);

  // The Browser Helper Objects found by the last EnumBhoClsids, one entry per listed index.
  std::vector<BhoEntry> bho_clsid_arr;

 private:
  bool DeleteKeyTreeAt(platform::HKey root, const std::string& parentPath,
                       const std::string& childName, int depth, std::uint32_t& budget);

  platform::Registry& reg_;
};

}  // namespace dravlin
