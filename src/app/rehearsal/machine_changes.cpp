// What a run changed: the registry and drive C: before and after, compared and shown readably.
#include "app/rehearsal/machine_changes.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <unordered_map>
#include <utility>

#include "platform/ansi_names.h"
#include "regfile/regfile.h"
#include "sim/persist/machine_folder.h"

namespace dravlin::rehearsal {

using regfile::FromCp1252;
using regfile::RootName;
using sim::persist::AttributeText;
using sim::persist::kShownAttributes;

namespace {

std::string Hex8(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(v));
  return buf;
}

std::string ShowName(const std::string& name) {
  return name.empty() ? "@" : "\"" + platform::AnsiToUtf8(name) + "\"";
}

// The roots in registry order (see ComparePaths), so that a snapshot needs no sorting.
constexpr platform::HKey kRootsInOrder[] = {platform::HKEY_CURRENT_USER,
                                            platform::HKEY_LOCAL_MACHINE, platform::HKEY_USERS};

int FoldedByte(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 'a' && u <= 'z') return u - 32;
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return u - 32;
  return u;
}

// Registry order: names compare as the registry folds them, and paths part by part, so that a
// key's subtree comes right after the key and before its next sibling; the order in which the
// machine walks its keys.
int ComparePaths(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  // Neighbouring paths share long beginnings, and equal bytes fold equal: skip those word by
  // word.
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) break;
  }
  for (; i < n; ++i) {
    const int x = a[i] == '\\' ? 0 : FoldedByte(a[i]) + 1;
    const int y = b[i] == '\\' ? 0 : FoldedByte(b[i]) + 1;
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Positions of a snapshot's keys in registry order; taken as they are when already sorted, as
// snapshots of a machine are.
std::vector<std::size_t> RegistryOrder(const RegistrySnapshot& s) {
  std::vector<std::size_t> order(s.keys.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (ComparePaths(s.keys[i - 1].first, s.keys[i].first) > 0) {
      std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        return ComparePaths(s.keys[x].first, s.keys[y].first) < 0;
      });
      break;
    }
  }
  return order;
}

// Walks the keys of `before` and of the later state together in registry order, one pass with
// no index of either side, so that a whole PC's registry costs little more than reading it.
class RegistryDiffer {
 public:
  explicit RegistryDiffer(const RegistrySnapshot& before)
      : before_(before), order_(RegistryOrder(before)) {}

  // The next key of the later state; false when it is out of registry order.
  bool After(std::string_view path, const std::vector<NamedValue>& values) {
    if (!last_.empty() && ComparePaths(last_, path) >= 0) return false;
    last_.assign(path);
    while (next_ < order_.size()) {
      const auto& [was, old] = before_.keys[order_[next_]];
      const int c = ComparePaths(was, path);
      if (c > 0) break;
      ++next_;
      if (c < 0) {
        Removed(was);
        continue;
      }
      CompareValues(was, old, values);
      return true;
    }
    out_.push_back({Kind::KeyAdded, std::string(path), "", std::nullopt, std::nullopt});
    for (const NamedValue& n : values) {
      out_.push_back({Kind::ValueAdded, std::string(path), n.name, std::nullopt, n.value});
    }
    return true;
  }

  std::vector<RegChange> Finish() {
    for (; next_ < order_.size(); ++next_) Removed(before_.keys[order_[next_]].first);
    // By key, so that what happened to one key reads together; key lines first.
    std::vector<std::pair<std::string, std::size_t>> keys;
    keys.reserve(out_.size());
    for (std::size_t i = 0; i < out_.size(); ++i)
      keys.emplace_back(sim::persist::LowerAscii(out_[i].key), i);
    const auto isKeyLine = [&](std::size_t i) {
      return out_[i].kind == Kind::KeyAdded || out_[i].kind == Kind::KeyRemoved;
    };
    std::stable_sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
      if (a.first != b.first) return a.first < b.first;
      return isKeyLine(a.second) && !isKeyLine(b.second);
    });
    std::vector<RegChange> sorted;
    sorted.reserve(out_.size());
    for (const auto& k : keys) sorted.push_back(std::move(out_[k.second]));
    return sorted;
  }

 private:
  using Kind = RegChange::Kind;

  // A removed key reports only itself, not each key that went with it.
  void Removed(const std::string& path) {
    std::string lower = sim::persist::LowerAscii(path);
    const std::size_t slash = lower.rfind('\\');
    if (slash == std::string::npos || removed_.count(lower.substr(0, slash)) == 0) {
      out_.push_back({Kind::KeyRemoved, path, "", std::nullopt, std::nullopt});
    }
    removed_.insert(std::move(lower));
  }

  void CompareValues(const std::string& path, const std::vector<NamedValue>& values,
                     const std::vector<NamedValue>& now) {
    // Nearly every key is unchanged: the same values in the same order.
    if (values.size() == now.size() && std::equal(values.begin(), values.end(), now.begin(),
                                                  [](const NamedValue& a, const NamedValue& b) {
                                                    return a.name == b.name && a.value == b.value;
                                                  })) {
      return;
    }
    // By name, so that a key with very many values is not compared pairwise.
    std::unordered_map<std::string, const NamedValue*> nowByName;
    for (const NamedValue& n : now) nowByName.emplace(sim::persist::LowerAscii(n.name), &n);
    std::unordered_map<std::string, bool> beforeNames;
    for (const NamedValue& v : values) {
      beforeNames.emplace(sim::persist::LowerAscii(v.name), true);
      const auto match = nowByName.find(sim::persist::LowerAscii(v.name));
      if (match == nowByName.end()) {
        out_.push_back({Kind::ValueRemoved, path, v.name, v.value, std::nullopt});
      } else if (!(match->second->value == v.value)) {
        out_.push_back({Kind::ValueChanged, path, v.name, v.value, match->second->value});
      }
    }
    for (const NamedValue& n : now) {
      if (beforeNames.count(sim::persist::LowerAscii(n.name)) == 0) {
        out_.push_back({Kind::ValueAdded, path, n.name, std::nullopt, n.value});
      }
    }
  }

  const RegistrySnapshot& before_;
  std::vector<std::size_t> order_;
  std::size_t next_ = 0;
  std::string last_;
  std::set<std::string> removed_;
  std::vector<RegChange> out_;
};

// Calls visit(full path, values) for every key of the machine, in registry order.
template <class Visit>
void VisitRegistry(const Machine& machine, Visit&& visit) {
  std::string full;
  for (const platform::HKey root : kRootsInOrder) {
    const std::string name(RootName(root));
    machine.VisitTree(root, "", [&](std::string_view path, const std::vector<NamedValue>& values) {
      full.assign(name);
      if (!path.empty()) full.append("\\").append(path);
      visit(full, values);
    });
  }
}

}  // namespace

RegistrySnapshot SnapshotRegistry(const Machine& machine) {
  RegistrySnapshot s;
  VisitRegistry(machine, [&](const std::string& path, const std::vector<NamedValue>& values) {
    s.keys.emplace_back(path, values);
  });
  return s;
}

std::vector<RegChange> DiffRegistry(const RegistrySnapshot& before, const RegistrySnapshot& after) {
  RegistryDiffer differ(before);
  for (const std::size_t i : RegistryOrder(after)) {
    differ.After(after.keys[i].first, after.keys[i].second);
  }
  return differ.Finish();
}

std::vector<RegChange> DiffRegistry(const RegistrySnapshot& before, const Machine& after) {
  RegistryDiffer differ(before);
  bool inOrder = true;
  VisitRegistry(after, [&](const std::string& path, const std::vector<NamedValue>& values) {
    if (inOrder) inOrder = differ.After(path, values);
  });
  // Names the registry cannot order (a backslash inside one) take the slower road.
  if (!inOrder) return DiffRegistry(before, SnapshotRegistry(after));
  return differ.Finish();
}

FileSnapshot SnapshotFiles(const Machine& machine) {
  FileSnapshot s;
  for (const std::string& path : machine.ListFiles()) {
    FileState f;
    f.bytes = machine.ReadFile(path).value_or("");
    f.attributes = machine.FileAttributes(path);
    s.emplace(path, std::move(f));
  }
  return s;
}

std::vector<FileChange> DiffFiles(const FileSnapshot& before, const FileSnapshot& after) {
  // Windows paths compare without regard to case.
  std::map<std::string, const std::pair<const std::string, FileState>*> b;
  std::map<std::string, const std::pair<const std::string, FileState>*> a;
  for (const auto& e : before) b.emplace(sim::persist::LowerAscii(e.first), &e);
  for (const auto& e : after) a.emplace(sim::persist::LowerAscii(e.first), &e);
  std::vector<FileChange> out;
  for (const auto& [key, entry] : b) {
    const auto it = a.find(key);
    if (it == a.end()) {
      out.push_back({FileChange::Kind::Deleted, entry->first, ""});
      continue;
    }
    const FileState& x = entry->second;
    const FileState& y = it->second->second;
    std::string detail;
    if (x.bytes != y.bytes) detail = "content";
    if ((x.attributes & kShownAttributes) != (y.attributes & kShownAttributes)) {
      if (!detail.empty()) detail += ", ";
      const std::string from = AttributeText(x.attributes & kShownAttributes);
      const std::string to = AttributeText(y.attributes & kShownAttributes);
      detail +=
          "attributes " + (from.empty() ? "none" : from) + " -> " + (to.empty() ? "none" : to);
    }
    if (!detail.empty()) out.push_back({FileChange::Kind::Changed, it->second->first, detail});
  }
  for (const auto& [key, entry] : a) {
    if (b.count(key) == 0) {
      out.push_back({FileChange::Kind::Added, entry->first,
                     std::to_string(entry->second.bytes.size()) + " bytes"});
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const FileChange& x, const FileChange& y) {
    return sim::persist::LowerAscii(x.path) < sim::persist::LowerAscii(y.path);
  });
  return out;
}

std::string TypeName(std::uint32_t type) {
  switch (type) {
    case platform::REG_NONE:
      return "REG_NONE";
    case platform::REG_SZ:
      return "REG_SZ";
    case platform::REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case platform::REG_BINARY:
      return "REG_BINARY";
    case platform::REG_DWORD:
      return "REG_DWORD";
    case platform::REG_DWORD_BIG_ENDIAN:
      return "REG_DWORD_BIG_ENDIAN";
    case platform::REG_LINK:
      return "REG_LINK";
    case platform::REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case platform::REG_RESOURCE_LIST:
      return "REG_RESOURCE_LIST";
    case 11:
      return "REG_QWORD";
    default:
      return "type " + Hex8(type);
  }
}

std::string DescribeValue(const RegValue& value) {
  constexpr std::size_t kMaxShown = 240;
  const std::string& d = value.data;
  const std::string type = TypeName(value.type);
  if (value.type == platform::REG_SZ || value.type == platform::REG_EXPAND_SZ ||
      value.type == platform::REG_MULTI_SZ) {
    // The characters as Windows keeps them: the UTF-16 form when the code page lacks one.
    std::vector<char32_t> chars;
    if (value.wide.empty()) {
      for (const char c : d) chars.push_back(FromCp1252(static_cast<unsigned char>(c)));
    } else {
      platform::ForEachUtf16(value.wide, [&](char32_t c) { chars.push_back(c); });
    }
    const bool terminated = !chars.empty() && chars.back() == 0;
    const std::size_t n = terminated ? chars.size() - 1 : chars.size();
    std::string text;
    for (std::size_t i = 0; i < n && i < kMaxShown; ++i) {
      const char32_t u = chars[i];
      if (u == 0) {
        text += "\\0";
      } else if (u < 0x20 || (u >= 0x7F && u < 0xA0)) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(u));
        text += buf;
      } else if (u >= 0xD800 && u <= 0xDFFF) {
        // A surrogate without its partner has no UTF-8 form.
        char buf[16];
        std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(u));
        text += buf;
      } else {
        platform::AppendUtf8(text, u);
      }
    }
    const std::size_t bytes = value.wide.empty() ? d.size() : value.wide.size();
    std::string out = type + " \"" + text + "\"";
    if (n > kMaxShown) out += "... (" + std::to_string(bytes) + " bytes)";
    if (!terminated) out += " (no terminating NUL)";
    return out;
  }
  if (value.type == platform::REG_DWORD && d.size() == 4) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(d[i]);
    return type + " " + Hex8(v) + " (" + std::to_string(v) + ")";
  }
  std::string out = type;
  char buf[4];
  for (std::size_t i = 0; i < d.size() && i < kMaxShown / 3; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(d[i]));
    out += " ";
    out += buf;
  }
  if (d.empty()) out += " (empty)";
  if (d.size() > kMaxShown / 3) out += " ... (" + std::to_string(d.size()) + " bytes)";
  return out;
}

std::string FormatRegistryChanges(const std::vector<RegChange>& changes) {
  if (changes.empty()) return "  (no change)\n";
  std::string out;
  for (const RegChange& change : changes) {
    RegChange c = change;
    c.key = platform::AnsiToUtf8(c.key);
    switch (c.kind) {
      case RegChange::Kind::KeyAdded:
        out += "  key added:     " + c.key + "\n";
        break;
      case RegChange::Kind::KeyRemoved:
        out += "  key removed:   " + c.key + "\n";
        break;
      case RegChange::Kind::ValueAdded:
        out += "  value added:   " + c.key + " " + ShowName(c.value) + " = " +
               DescribeValue(*c.after) + "\n";
        break;
      case RegChange::Kind::ValueRemoved:
        out += "  value removed: " + c.key + " " + ShowName(c.value) + " (was " +
               DescribeValue(*c.before) + ")\n";
        break;
      case RegChange::Kind::ValueChanged:
        out += "  value changed: " + c.key + " " + ShowName(c.value) + "\n" +
               "                 from " + DescribeValue(*c.before) + "\n" +
               "                 to   " + DescribeValue(*c.after) + "\n";
        break;
    }
  }
  return out;
}

std::string FormatFileChanges(const std::vector<FileChange>& changes) {
  if (changes.empty()) return "  (no change)\n";
  std::string out;
  for (const FileChange& change : changes) {
    FileChange c = change;
    c.path = platform::AnsiToUtf8(c.path);
    switch (c.kind) {
      case FileChange::Kind::Added:
        out += "  file added:    " + c.path + " (" + c.detail + ")\n";
        break;
      case FileChange::Kind::Deleted:
        out += "  file deleted:  " + c.path + "\n";
        break;
      case FileChange::Kind::Changed:
        out += "  file changed:  " + c.path + " (" + c.detail + ")\n";
        break;
    }
  }
  return out;
}
}  // namespace dravlin::rehearsal
