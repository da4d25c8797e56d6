// The registry as the program sees it through the ANSI calls.
#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/ansi_names.h"
#include "sim/program.h"

namespace dravlin::sim::detail {

using platform::HKey;
using platform::Status;
using Gate = Machine::Impl::Gate;

namespace {
constexpr std::uint32_t KEY_QUERY_VALUE = 0x1;
constexpr std::uint32_t KEY_SET_VALUE = 0x2;
constexpr std::uint32_t KEY_CREATE_SUB_KEY = 0x4;
constexpr std::uint32_t KEY_ENUMERATE_SUB_KEYS = 0x8;
using platform::DELETE;
using platform::ERROR_BAD_PATHNAME;
using platform::ERROR_CHILD_MUST_BE_VOLATILE;
using platform::ERROR_INVALID_NAME;
using platform::GENERIC_ALL;
using platform::GENERIC_EXECUTE;
using platform::GENERIC_READ;
using platform::GENERIC_WRITE;
using platform::KEY_WRITE;
using platform::MAXIMUM_ALLOWED;
using platform::REG_OPTION_VOLATILE;
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;
}  // namespace

std::uint32_t MapKeyAccess(std::uint32_t sam) {
  if (sam & GENERIC_ALL) return platform::KEY_ALL_ACCESS;
  // Only the key rights and the standard rights count; the view flags (0x100, 0x200) do not.
  std::uint32_t r = sam & platform::KEY_ALL_ACCESS;
  if (sam & (GENERIC_READ | GENERIC_EXECUTE)) r |= platform::KEY_READ;
  if (sam & GENERIC_WRITE) r |= KEY_WRITE;
  return r;
}

namespace {
template <typename Handles>
auto FindHandle(Handles& keys, HKey h) {
  const auto it = std::lower_bound(keys.begin(), keys.end(), h,
                                   [](const auto& open, HKey x) { return open.first < x; });
  return it != keys.end() && it->first == h ? it : keys.end();
}

// What an open asking for `sam` is granted by the key's security; nullopt when refused.
// MAXIMUM_ALLOWED takes whatever the security grants, and fails only when it grants nothing.
std::optional<std::uint32_t> Grant(const Key& k, std::uint32_t sam) {
  const std::uint32_t wanted = MapKeyAccess(sam);
  if ((wanted & ~k.allowed) != 0) return std::nullopt;
  if ((sam & MAXIMUM_ALLOWED) == 0) return wanted;
  if (k.allowed == 0) return std::nullopt;
  return k.allowed;
}
}  // namespace

Status Program::KeyOf(HKey key, std::uint32_t access, std::shared_ptr<Key>* out,
                      std::uint32_t* granted) {
  std::uint32_t have = platform::KEY_ALL_ACCESS;
  if (platform::IsPredefinedKey(key)) {
    *out = m_.reg.Root(key);
    if (!*out) return platform::ERROR_INVALID_HANDLE;
  } else {
    const auto it = FindHandle(m_.keys, key);
    if (it == m_.keys.end()) return platform::ERROR_INVALID_HANDLE;
    if (it->second.key->deleted) return platform::ERROR_KEY_DELETED;
    *out = it->second.key;
    have = it->second.access;
  }
  if (granted != nullptr) *granted = have;
  // DOS-based Windows has no registry security.
  if (m_.IsNt() && (have & access) != access) return platform::ERROR_ACCESS_DENIED;
  return platform::ERROR_SUCCESS;
}

HKey Program::NewKeyHandle(std::shared_ptr<Key> key, std::uint32_t access,
                           std::optional<std::string> classes) {
  const HKey h = m_.nextKey;
  m_.nextKey += 4;
  m_.keys.push_back({h, {std::move(key), access, std::move(classes)}});
  return h;
}

namespace {
constexpr const char* kUserClasses = "Software\\Classes";
constexpr const char* kMachineClasses = "SOFTWARE\\Classes";

std::string JoinPath(const std::string& a, const std::string& b) {
  // The parts of both, empty ones dropped, joined by single backslashes.
  std::string out;
  out.reserve(a.size() + b.size() + 1);
  for (const auto* side : {&a, &b}) {
    bool cut = true;
    for (char c : *side) {
      if (c == '\\') {
        cut = true;
        continue;
      }
      if (cut && !out.empty()) out += '\\';
      cut = false;
      out += c;
    }
  }
  return out;
}
}  // namespace

const std::string* Program::ClassesOf(HKey key) const {
  static const std::string top;
  if (!m_.IsNt() || m_.version.major < 5) return nullptr;
  if (key == platform::HKEY_CLASSES_ROOT) return &top;
  const auto it = FindHandle(m_.keys, key);
  return it == m_.keys.end() || !it->second.classes ? nullptr : &*it->second.classes;
}

// The user's key wins where both have one.
std::shared_ptr<Key> Program::ClassesLookup(std::string_view path) {
  if (const auto user = m_.reg.Lookup(platform::HKEY_CURRENT_USER, kUserClasses)) {
    if (auto found = m_.reg.LookupFrom(user, path)) return found;
  }
  const auto machine = m_.reg.Lookup(platform::HKEY_LOCAL_MACHINE, kMachineClasses);
  return machine ? m_.reg.LookupFrom(machine, path) : nullptr;
}

const std::vector<std::shared_ptr<Key>>& Program::Subkeys(
    HKey key, const std::shared_ptr<Key>& k, std::vector<std::shared_ptr<Key>>& merged) {
  const std::string* classes = ClassesOf(key);
  if (classes == nullptr) return k->subkeys;
  const auto userRoot = m_.reg.Lookup(platform::HKEY_CURRENT_USER, kUserClasses);
  const auto machineRoot = m_.reg.Lookup(platform::HKEY_LOCAL_MACHINE, kMachineClasses);
  const auto user = userRoot ? m_.reg.LookupFrom(userRoot, *classes) : nullptr;
  const auto machine = machineRoot ? m_.reg.LookupFrom(machineRoot, *classes) : nullptr;
  merged.clear();
  // Each side's list is in order already: only two of them need merging.
  if (!user || !machine) return user ? user->subkeys : machine ? machine->subkeys : merged;
  merged = user->subkeys;
  for (const auto& s : machine->subkeys) {
    if (!user->Find(s->name)) merged.push_back(s);
  }
  std::stable_sort(merged.begin(), merged.end(), [](const auto& a, const auto& b) {
    return CompareFolded(a->name, b->name) < 0;
  });
  return merged;
}

namespace {
// NT refuses a leading backslash and over-long names; DOS-based Windows takes the rest.
Status CheckSubKey(bool nt, const std::string& sub) {
  if (nt && !sub.empty() && sub[0] == '\\') return ERROR_BAD_PATHNAME;
  std::size_t length = 0;  // of the part so far
  for (char c : sub) {
    length = c == '\\' ? 0 : length + 1;
    if (length > kMaxKeyName) return platform::ERROR_INVALID_PARAMETER;
  }
  return platform::ERROR_SUCCESS;
}

// The hives directly below these roots cannot be created or deleted on NT.
bool IsHiveParent(const RegistryStore& reg, const Key& k) {
  if (k.parent != nullptr) return false;
  const HKey root = reg.RootOf(k);
  return root == platform::HKEY_LOCAL_MACHINE || root == platform::HKEY_USERS;
}
}  // namespace

Status Program::OpenKey(HKey key, const std::string& subKey, std::uint32_t access, HKey* result) {
  std::shared_ptr<Key> parent;
  if (Status st = KeyOf(key, 0, &parent)) return st;
  if (result == nullptr) return platform::ERROR_INVALID_PARAMETER;
  std::string subCut;
  const std::string& sub = UpToNul(subKey, subCut);
  if (Status st = CheckSubKey(m_.IsNt(), sub)) return st;
  std::optional<std::string> classes;
  if (const std::string* base = ClassesOf(key)) classes = JoinPath(*base, sub);
  auto target = classes ? ClassesLookup(*classes) : m_.reg.LookupFrom(parent, sub);
  if (!target) return platform::ERROR_FILE_NOT_FOUND;
  // DOS-based Windows has no registry security: every handle may do everything.
  std::uint32_t granted = platform::KEY_ALL_ACCESS;
  if (m_.IsNt()) {
    const auto grant = Grant(*target, access);
    if (!grant) return platform::ERROR_ACCESS_DENIED;
    granted = *grant;
  }
  *result = NewKeyHandle(std::move(target), granted, std::move(classes));
  return platform::ERROR_SUCCESS;
}

Status Program::RegOpenKeyExA(HKey key, const std::string& subKey, std::uint32_t /*options*/,
                              std::uint32_t samDesired, HKey* result) {
  std::uint32_t injected = 0;
  if (m_.Enter("RegOpenKeyExA", false, &injected) == Gate::Fail) return injected;
  return OpenKey(key, subKey, samDesired, result);
}

Status Program::RegOpenKeyA(HKey key, const std::string& subKey, HKey* result) {
  std::uint32_t injected = 0;
  if (m_.Enter("RegOpenKeyA", false, &injected) == Gate::Fail) return injected;
  return OpenKey(key, subKey, MAXIMUM_ALLOWED, result);
}

Status Program::RegCreateKeyExA(HKey key, const std::string& subKey, std::uint32_t options,
                                std::uint32_t samDesired, HKey* result,
                                std::uint32_t* disposition) {
  std::uint32_t injected = 0;
  if (m_.Enter("RegCreateKeyExA", false, &injected) == Gate::Fail) return injected;
  std::shared_ptr<Key> parent;
  if (Status st = KeyOf(key, 0, &parent)) return st;
  if (result == nullptr) return platform::ERROR_INVALID_PARAMETER;
  std::string sub = UpToNul(subKey);
  if (Status st = CheckSubKey(m_.IsNt(), sub)) return st;
  // Through the merged classes view an existing key opens where it is (the user's first);
  // a new one is made below the machine's classes.
  std::optional<std::string> classes;
  if (const std::string* base = ClassesOf(key)) {
    classes = JoinPath(*base, sub);
    if (auto found = ClassesLookup(*classes)) {
      parent = std::move(found);
      sub.clear();
    } else {
      parent = m_.reg.Root(platform::HKEY_CLASSES_ROOT);
      sub = *classes;
    }
  }
  const auto parts = SplitPath(sub);
  // Check the whole path before creating anything, so a refusal leaves no partial keys.
  std::shared_ptr<Key> k = parent;
  std::size_t existing = 0;
  for (; existing < parts.size(); ++existing) {
    auto child = k->Find(parts[existing]);
    if (!child) break;
    k = child;
  }
  const bool creating = existing < parts.size();
  std::uint32_t granted = platform::KEY_ALL_ACCESS;
  if (m_.IsNt()) {
    if (creating) {
      // The key's security decides, not the access of the handle the call came through.
      if (IsHiveParent(m_.reg, *k) || (k->allowed & KEY_CREATE_SUB_KEY) == 0)
        return platform::ERROR_ACCESS_DENIED;
      const std::uint32_t wanted = MapKeyAccess(samDesired);
      granted = (samDesired & MAXIMUM_ALLOWED) ? platform::KEY_ALL_ACCESS : wanted;
    } else {
      const auto grant = Grant(*k, samDesired);
      if (!grant) return platform::ERROR_ACCESS_DENIED;
      granted = *grant;
    }
  }
  const bool makeVolatile = (options & REG_OPTION_VOLATILE) != 0;
  if (creating && !makeVolatile && k->isVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
  for (std::size_t i = existing; i < parts.size(); ++i) {
    k = k->Add(parts[i]);
    if (makeVolatile) {
      k->isVolatile = true;
      m_.volatileKeys.push_back(k);
    }
  }
  *result = NewKeyHandle(k, granted, std::move(classes));
  if (disposition != nullptr) {
    *disposition = creating ? platform::REG_CREATED_NEW_KEY : platform::REG_OPENED_EXISTING_KEY;
  }
  return platform::ERROR_SUCCESS;
}

Status Program::RegCloseKey(HKey key) {
  std::uint32_t injected = 0;
  const Gate gate = m_.Enter("RegCloseKey", true, &injected);
  if (gate == Gate::Skip) return platform::ERROR_SUCCESS;
  if (gate == Gate::Fail) return injected;
  if (platform::IsPredefinedKey(key)) return platform::ERROR_SUCCESS;
  const auto it = FindHandle(m_.keys, key);
  if (it == m_.keys.end()) return platform::ERROR_INVALID_HANDLE;
  m_.keys.erase(it);
  return platform::ERROR_SUCCESS;
}

Status Program::RegFlushKey(HKey key) {
  std::uint32_t injected = 0;
  if (m_.Enter("RegFlushKey", false, &injected) == Gate::Fail) return injected;
  std::shared_ptr<Key> k;
  return KeyOf(key, 0, &k);
}

Status Program::RegQueryValueExA(HKey key, const std::string& valueName, std::uint32_t* type,
                                 std::uint8_t* data, std::uint32_t* cbData) {
  std::uint32_t injected = 0;
  if (m_.Enter("RegQueryValueExA", false, &injected) == Gate::Fail) return injected;
  std::shared_ptr<Key> k;
  if (Status st = KeyOf(key, KEY_QUERY_VALUE, &k)) return st;
  if (data != nullptr && cbData == nullptr) return platform::ERROR_INVALID_PARAMETER;
  std::string nameCut;
  const std::string& name = UpToNul(valueName, nameCut);
  const NamedValue* v = k->FindValue(name);
  if (v == nullptr) return platform::ERROR_FILE_NOT_FOUND;
  // A loaded hijacker shows its value as blanks; any other is read where it is stored.
  std::string blanks;
  const bool hidden = m_.Hidden(*k, name);
  if (hidden) blanks.assign(v->value.data.size(), m_.hijacker->blank);
  const std::string& bytes = hidden ? blanks : v->value.data;
  const auto size = static_cast<std::uint32_t>(bytes.size());
  if (type != nullptr) *type = v->value.type;
  if (data == nullptr) {
    if (cbData != nullptr) *cbData = size;
    return platform::ERROR_SUCCESS;
  }
  if (*cbData < size) {
    *cbData = size;
    return platform::ERROR_MORE_DATA;
  }
  if (size > 0) std::memcpy(data, bytes.data(), size);
  *cbData = size;
  return platform::ERROR_SUCCESS;
}

Status Program::RegSetValueExA(HKey key, const std::string& valueName, std::uint32_t type,
                               const std::uint8_t* data, std::uint32_t cbData) {
  std::uint32_t injected = 0;
  if (m_.Enter("RegSetValueExA", false, &injected) == Gate::Fail) return injected;
  std::shared_ptr<Key> k;
  if (Status st = KeyOf(key, KEY_SET_VALUE, &k)) return st;
  if (data == nullptr && cbData > 0) return platform::ERROR_INVALID_PARAMETER;
  std::string nameCut;
  const std::string& name = UpToNul(valueName, nameCut);
  if (name.size() > kMaxValueName) return platform::ERROR_INVALID_PARAMETER;
  // NT adds the terminator that a string written without one left out, when it follows the
  // data in the caller's memory (NT reads that byte too; our callers' buffers hold it).
  const bool isString =
      type == platform::REG_SZ || type == platform::REG_EXPAND_SZ || type == platform::REG_MULTI_SZ;
  if (m_.IsNt() && isString && cbData > 0 && data[cbData - 1] != 0 && data[cbData] == 0) ++cbData;
  RegValue value{
      type, cbData > 0 ? std::string(reinterpret_cast<const char*>(data), cbData) : std::string()};
  if (NamedValue* v = k->FindValue(name)) {
    v->value = std::move(value);
  } else {
    k->values.push_back({name, std::move(value)});
  }
  return platform::ERROR_SUCCESS;
}

Status Program::RegDeleteValueA(HKey key, const std::string& valueName) {
  std::uint32_t injected = 0;
  if (m_.Enter("RegDeleteValueA", false, &injected) == Gate::Fail) return injected;
  std::shared_ptr<Key> k;
  if (Status st = KeyOf(key, KEY_SET_VALUE, &k)) return st;
  std::string nameCut;
  const std::string& name = UpToNul(valueName, nameCut);
  auto it = std::find_if(k->values.begin(), k->values.end(),
                         [&](const NamedValue& v) { return SameName(v.name, name); });
  if (it == k->values.end()) return platform::ERROR_FILE_NOT_FOUND;
  k->values.erase(it);
  return platform::ERROR_SUCCESS;
}

Status Program::RegDeleteKeyA(HKey key, const std::string& subKey) {
  std::uint32_t injected = 0;
  if (m_.Enter("RegDeleteKeyA", false, &injected) == Gate::Fail) return injected;
  std::shared_ptr<Key> parent;
  if (Status st = KeyOf(key, 0, &parent)) return st;
  std::string subCut;
  const std::string& sub = UpToNul(subKey, subCut);
  if (Status st = CheckSubKey(m_.IsNt(), sub)) return st;
  const std::string* classes = ClassesOf(key);
  auto target = classes ? ClassesLookup(JoinPath(*classes, sub)) : m_.reg.LookupFrom(parent, sub);
  if (!target) return platform::ERROR_FILE_NOT_FOUND;
  if (target->parent == nullptr) return platform::ERROR_ACCESS_DENIED;  // a root
  if (m_.IsNt()) {
    // The key itself is opened for DELETE; the parent handle's access does not matter.
    if ((target->allowed & DELETE) == 0 || IsHiveParent(m_.reg, *target->parent))
      return platform::ERROR_ACCESS_DENIED;
    // NT deletes only empty keys; DOS-based Windows takes the whole subtree.
    if (!target->subkeys.empty()) return platform::ERROR_ACCESS_DENIED;
  }
  m_.reg.Detach(target);
  return platform::ERROR_SUCCESS;
}

Status Program::RegEnumKeyExA(HKey key, std::uint32_t index, char* name, std::uint32_t* cchName) {
  std::uint32_t injected = 0;
  if (m_.Enter("RegEnumKeyExA", false, &injected) == Gate::Fail) return injected;
  std::shared_ptr<Key> k;
  if (Status st = KeyOf(key, KEY_ENUMERATE_SUB_KEYS, &k)) return st;
  if (name == nullptr || cchName == nullptr) return platform::ERROR_INVALID_PARAMETER;
  std::vector<std::shared_ptr<Key>> merged;
  const auto& subkeys = Subkeys(key, k, merged);
  if (index >= subkeys.size()) return platform::ERROR_NO_MORE_ITEMS;
  // A name with characters the code page lacks reads with '?' for them.
  const std::string& stored = subkeys[index]->name;
  std::string shown;
  if (platform::HasWideChars(stored)) shown = platform::AnsiView(stored);
  const std::string& n = shown.empty() ? stored : shown;
  if (*cchName <= n.size()) return platform::ERROR_MORE_DATA;
  std::memcpy(name, n.data(), n.size());
  name[n.size()] = '\0';
  *cchName = static_cast<std::uint32_t>(n.size());
  return platform::ERROR_SUCCESS;
}

Status Program::RegEnumValueA(HKey key, std::uint32_t index, char* valueName,
                              std::uint32_t* cchValueName, std::uint32_t* type, std::uint8_t* data,
                              std::uint32_t* cbData) {
  std::uint32_t injected = 0;
  if (m_.Enter("RegEnumValueA", false, &injected) == Gate::Fail) return injected;
  std::shared_ptr<Key> k;
  if (Status st = KeyOf(key, KEY_QUERY_VALUE, &k)) return st;
  if (valueName == nullptr || cchValueName == nullptr || (data != nullptr && cbData == nullptr))
    return platform::ERROR_INVALID_PARAMETER;
  if (index >= k->values.size()) return platform::ERROR_NO_MORE_ITEMS;
  const NamedValue& v = k->values[index];
  std::string shownName;
  if (platform::HasWideChars(v.name)) shownName = platform::AnsiView(v.name);
  const std::string& name = shownName.empty() ? v.name : shownName;
  if (*cchValueName <= name.size()) return platform::ERROR_MORE_DATA;
  // Enumeration reads the value as a query does, so a loaded hijacker hides it here too.
  std::string blanks;
  const bool hidden = m_.Hidden(*k, v.name);
  if (hidden) blanks.assign(v.value.data.size(), m_.hijacker->blank);
  const std::string& bytes = hidden ? blanks : v.value.data;
  const auto size = static_cast<std::uint32_t>(bytes.size());
  if (data != nullptr && *cbData < size) {
    *cbData = size;
    return platform::ERROR_MORE_DATA;
  }
  std::memcpy(valueName, name.data(), name.size());
  valueName[name.size()] = '\0';
  *cchValueName = static_cast<std::uint32_t>(name.size());
  if (type != nullptr) *type = v.value.type;
  if (data != nullptr && size > 0) std::memcpy(data, bytes.data(), size);
  if (cbData != nullptr) *cbData = size;
  return platform::ERROR_SUCCESS;
}

Status Program::RegQueryInfoKeyA(HKey key, std::uint32_t* subKeys, std::uint32_t* maxSubKeyLen,
                                 std::uint32_t* values, std::uint32_t* maxValueNameLen,
                                 std::uint32_t* maxValueLen) {
  std::uint32_t injected = 0;
  if (m_.Enter("RegQueryInfoKeyA", false, &injected) == Gate::Fail) return injected;
  std::shared_ptr<Key> k;
  if (Status st = KeyOf(key, KEY_QUERY_VALUE, &k)) return st;
  std::size_t maxSub = 0, maxName = 0, maxData = 0;
  std::vector<std::shared_ptr<Key>> merged;
  const auto& subkeys = Subkeys(key, k, merged);
  const auto shownSize = [](const std::string& name) {
    return platform::HasWideChars(name) ? platform::AnsiView(name).size() : name.size();
  };
  for (const auto& s : subkeys) maxSub = std::max(maxSub, shownSize(s->name));
  for (const auto& v : k->values) {
    maxName = std::max(maxName, shownSize(v.name));
    maxData = std::max(maxData, v.value.data.size());
  }
  if (subKeys) *subKeys = static_cast<std::uint32_t>(subkeys.size());
  if (maxSubKeyLen) *maxSubKeyLen = static_cast<std::uint32_t>(maxSub);
  if (values) *values = static_cast<std::uint32_t>(k->values.size());
  if (maxValueNameLen) *maxValueNameLen = static_cast<std::uint32_t>(maxName);
  if (maxValueLen) *maxValueLen = static_cast<std::uint32_t>(maxData);
  return platform::ERROR_SUCCESS;
}

namespace {
Status FileStatus(PathError e) {
  switch (e) {
    case PathError::None:
      return platform::ERROR_SUCCESS;
    case PathError::BadName:
      return ERROR_INVALID_NAME;
    case PathError::FileMissing:
      return platform::ERROR_FILE_NOT_FOUND;
    case PathError::NotOnDrive:
    case PathError::PathMissing:
      break;
  }
  return platform::ERROR_PATH_NOT_FOUND;
}
}  // namespace

Status Program::RegSaveKeyA(HKey key, const std::string& file) {
  std::uint32_t injected = 0;
  if (m_.Enter("RegSaveKeyA", false, &injected) == Gate::Fail) return injected;
  std::shared_ptr<Key> k;
  if (Status st = KeyOf(key, 0, &k)) return st;
  if (m_.IsNt() && !m_.PrivilegeEnabled("SeBackupPrivilege"))
    return platform::ERROR_PRIVILEGE_NOT_HELD;
  const Resolved r = m_.drive.Resolve(file);
  if (r.error == PathError::None) return platform::ERROR_ALREADY_EXISTS;
  if (r.error != PathError::FileMissing) return FileStatus(r.error);
  // Values are read from the store itself: a save shows the real bytes whatever a loaded
  // hijacker does to queries.
  if (!m_.drive.Write(r.host, WriteHive(*k, m_.IsNt()))) return platform::ERROR_CANTWRITE;
  m_.drive.Forget(r);
  return platform::ERROR_SUCCESS;
}

Status Program::RegRestoreKeyA(HKey key, const std::string& file, std::uint32_t flags) {
  std::uint32_t injected = 0;
  if (m_.Enter("RegRestoreKeyA", false, &injected) == Gate::Fail) return injected;
  std::shared_ptr<Key> k;
  if (Status st = KeyOf(key, 0, &k)) return st;
  if (m_.IsNt() && !m_.PrivilegeEnabled("SeRestorePrivilege"))
    return platform::ERROR_PRIVILEGE_NOT_HELD;
  const Resolved r = m_.drive.Resolve(file);
  if (r.error != PathError::None) return FileStatus(r.error);
  if (r.isFolder) return platform::ERROR_ACCESS_DENIED;
  const auto image = m_.drive.Read(r.host);
  if (!image) return platform::ERROR_CANTREAD;
  auto tree = ReadHive(*image);
  if (!tree) return platform::ERROR_REGISTRY_CORRUPT;
  if ((flags & platform::REG_FORCE_RESTORE) == 0) {
    // Without force, any other handle at or below the target blocks the restore: ours and
    // those that the system's own processes hold.
    auto atOrBelow = [&](const Key* open) {
      for (const Key* p = open; p != nullptr; p = p->parent) {
        if (p == k.get()) return true;
      }
      return false;
    };
    for (const auto& [h, open] : m_.keys) {
      if (h != key && atOrBelow(open.key.get())) return platform::ERROR_ACCESS_DENIED;
    }
    for (const auto& held : m_.heldOpen) {
      if (!held->deleted && atOrBelow(held.get())) return platform::ERROR_ACCESS_DENIED;
    }
  }
  for (auto& old : k->subkeys) {
    old->parent = nullptr;
    old->MarkDeleted();
  }
  k->subkeys = std::move((*tree)->subkeys);
  for (auto& sub : k->subkeys) sub->parent = k.get();
  k->values = std::move((*tree)->values);
  return platform::ERROR_SUCCESS;
}

}  // namespace dravlin::sim::detail
