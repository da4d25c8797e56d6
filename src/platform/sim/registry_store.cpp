// The registry tree: keys with case-insensitive, case-preserving names and raw values.
#include <algorithm>

#include "platform/sim/internal.h"

namespace dravlin::sim::detail {

namespace {
char FoldChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 'a' && u <= 'z') return static_cast<char>(u - 32);
  // Latin-1 small letters (except the division sign) and their capitals differ by 0x20.
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<char>(u - 32);
  return c;
}
}  // namespace

std::string Fold(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = FoldChar(c);
  return out;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  }
  return true;
}

std::string UpToNul(const std::string& s) {
  return s.substr(0, s.find('\0'));
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : path) {
    if (c == '\\') {
      if (!cur.empty()) parts.push_back(std::move(cur));
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) parts.push_back(std::move(cur));
  return parts;
}

std::shared_ptr<Key> Key::Find(std::string_view child) const {
  const std::string folded = Fold(child);
  auto it = std::lower_bound(
      subkeys.begin(), subkeys.end(), folded,
      [](const std::shared_ptr<Key>& k, const std::string& f) { return Fold(k->name) < f; });
  if (it != subkeys.end() && Fold((*it)->name) == folded) return *it;
  return nullptr;
}

std::shared_ptr<Key> Key::Add(const std::string& child) {
  if (auto existing = Find(child)) return existing;
  auto key = std::make_shared<Key>();
  key->name = child;
  key->parent = this;
  const std::string folded = Fold(child);
  auto it = std::lower_bound(
      subkeys.begin(), subkeys.end(), folded,
      [](const std::shared_ptr<Key>& k, const std::string& f) { return Fold(k->name) < f; });
  subkeys.insert(it, key);
  return key;
}

NamedValue* Key::FindValue(std::string_view valueName) {
  for (auto& v : values) {
    if (SameName(v.name, valueName)) return &v;
  }
  return nullptr;
}

void Key::MarkDeleted() {
  deleted = true;
  for (auto& k : subkeys) k->MarkDeleted();
}

std::string Key::Path() const {
  std::vector<const Key*> chain;
  for (const Key* k = this; k != nullptr && k->parent != nullptr; k = k->parent) chain.push_back(k);
  std::string out;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!out.empty()) out += '\\';
    out += (*it)->name;
  }
  return out;
}

RegistryStore::RegistryStore()
    : hklm_(std::make_shared<Key>()),
      hkcu_(std::make_shared<Key>()),
      hku_(std::make_shared<Key>()) {
  hklm_->name = "HKEY_LOCAL_MACHINE";
  hkcu_->name = "HKEY_CURRENT_USER";
  hku_->name = "HKEY_USERS";
  hklm_->Add("SOFTWARE")->Add("Classes");
}

std::shared_ptr<Key> RegistryStore::Root(platform::HKey root) {
  switch (root) {
    case platform::HKEY_LOCAL_MACHINE:
      return hklm_;
    case platform::HKEY_CURRENT_USER:
      return hkcu_;
    case platform::HKEY_USERS:
      return hku_;
    case platform::HKEY_CLASSES_ROOT:
      return hklm_->Add("SOFTWARE")->Add("Classes");
    default:
      return nullptr;
  }
}

std::shared_ptr<Key> RegistryStore::LookupFrom(const std::shared_ptr<Key>& from,
                                               const std::string& path) {
  std::shared_ptr<Key> k = from;
  for (const auto& part : SplitPath(path)) {
    if (!k) return nullptr;
    k = k->Find(part);
  }
  return k;
}

std::shared_ptr<Key> RegistryStore::Lookup(platform::HKey root, const std::string& path) {
  auto r = Root(root);
  return r ? LookupFrom(r, path) : nullptr;
}

std::shared_ptr<Key> RegistryStore::Create(platform::HKey root, const std::string& path) {
  auto k = Root(root);
  if (!k) return nullptr;
  for (const auto& part : SplitPath(path)) k = k->Add(part);
  return k;
}

bool RegistryStore::Detach(const std::shared_ptr<Key>& key) {
  if (!key || key->parent == nullptr) return false;
  auto& siblings = key->parent->subkeys;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), key), siblings.end());
  key->parent = nullptr;
  key->MarkDeleted();
  return true;
}

platform::HKey RegistryStore::RootOf(const Key& key) const {
  const Key* k = &key;
  while (k->parent != nullptr) k = k->parent;
  if (k == hklm_.get()) return platform::HKEY_LOCAL_MACHINE;
  if (k == hkcu_.get()) return platform::HKEY_CURRENT_USER;
  if (k == hku_.get()) return platform::HKEY_USERS;
  return 0;
}

}  // namespace dravlin::sim::detail
