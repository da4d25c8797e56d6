// The registry as the tests arrange and inspect it: straight to the keys, past every checkpoint.
#include <algorithm>

#include "sim/program.h"

namespace dravlin::sim {

// ----- registry, direct

bool Machine::CreateKey(platform::HKey root, const std::string& path) {
  return impl_->reg.Create(root, path) != nullptr;
}
bool Machine::KeyExists(platform::HKey root, const std::string& path) const {
  return impl_->reg.Lookup(root, path) != nullptr;
}
bool Machine::DeleteKey(platform::HKey root, const std::string& path) {
  return impl_->reg.Detach(impl_->reg.Lookup(root, path));
}
bool Machine::SetValue(platform::HKey root, const std::string& path, const std::string& name,
                       std::uint32_t type, const std::string& data) {
  return SetValue(root, path, name, RegValue{type, data, {}});
}
bool Machine::SetValue(platform::HKey root, const std::string& path, const std::string& name,
                       const RegValue& value) {
  auto key = impl_->reg.Create(root, path);
  if (!key) return false;
  if (auto* v = key->FindValue(name)) {
    v->value = value;
  } else {
    key->values.push_back({name, value});
  }
  return true;
}
bool Machine::SetString(platform::HKey root, const std::string& path, const std::string& name,
                        const std::string& text) {
  return SetValue(root, path, name, platform::REG_SZ, text + std::string(1, '\0'));
}
std::optional<RegValue> Machine::GetValue(platform::HKey root, const std::string& path,
                                          const std::string& name) const {
  auto key = impl_->reg.Lookup(root, path);
  if (!key) return std::nullopt;
  if (auto* v = key->FindValue(name)) return v->value;
  return std::nullopt;
}
bool Machine::DeleteValue(platform::HKey root, const std::string& path, const std::string& name) {
  auto key = impl_->reg.Lookup(root, path);
  if (!key) return false;
  auto& vs = key->values;
  const auto before = vs.size();
  vs.erase(std::remove_if(vs.begin(), vs.end(),
                          [&](const NamedValue& v) { return detail::SameName(v.name, name); }),
           vs.end());
  return vs.size() != before;
}
std::vector<std::string> Machine::ListSubkeys(platform::HKey root, const std::string& path) const {
  std::vector<std::string> out;
  if (auto key = impl_->reg.Lookup(root, path)) {
    for (const auto& k : key->subkeys) out.push_back(k->name);
  }
  return out;
}
std::vector<NamedValue> Machine::ListValues(platform::HKey root, const std::string& path) const {
  auto key = impl_->reg.Lookup(root, path);
  return key ? key->values : std::vector<NamedValue>{};
}
void Machine::DenyAccess(platform::HKey root, const std::string& path, bool deny) {
  SetKeyAccess(root, path, deny ? 0 : platform::KEY_ALL_ACCESS);
}
void Machine::SetKeyAccess(platform::HKey root, const std::string& path, std::uint32_t allowed) {
  if (auto key = impl_->reg.Create(root, path)) key->allowed = allowed & platform::KEY_ALL_ACCESS;
}
void Machine::HoldKeyOpen(platform::HKey root, const std::string& path) {
  impl_->heldKeys.emplace_back(root, path);
  if (auto key = impl_->reg.Lookup(root, path)) impl_->heldOpen.push_back(std::move(key));
}
const std::vector<std::pair<platform::HKey, std::string>>& Machine::HeldKeys() const {
  return impl_->heldKeys;
}
std::vector<KeySnapshot> Machine::ExportTree(platform::HKey root, const std::string& path) const {
  std::vector<KeySnapshot> out;
  VisitTree(root, path, [&](std::string_view at, const std::vector<NamedValue>& values) {
    out.push_back({std::string(at), values});
  });
  return out;
}
void Machine::VisitTree(platform::HKey root, const std::string& path,
                        const KeyVisitor& visit) const {
  auto key = impl_->reg.Lookup(root, path);
  if (!key) return;
  // One buffer for every path: a whole registry is walked without a string per key.
  std::string at;
  auto walk = [&](auto&& self, const detail::Key& k) -> void {
    visit(at, k.values);
    const std::size_t length = at.size();
    for (const auto& sub : k.subkeys) {
      if (length > 0) at += '\\';
      at += sub->name;
      self(self, *sub);
      at.resize(length);
    }
  };
  walk(walk, *key);
}

}  // namespace dravlin::sim
