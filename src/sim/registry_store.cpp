// The registry tree: keys with case-insensitive, case-preserving names and raw values.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "platform/ansi_names.h"
#include "sim/internal.h"

namespace dravlin::sim::detail {

namespace {
constexpr char FoldOf(unsigned char u) {
  if (u >= 'a' && u <= 'z') return static_cast<char>(u - 32);
  // Latin-1 small letters (except the division sign) and their capitals differ by 0x20.
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<char>(u - 32);
  // The small letters of code page 1252 above 0x7F: š, œ, ž and ÿ.
  if (u == 0x9A || u == 0x9C || u == 0x9E) return static_cast<char>(u - 0x10);
  if (u == 0xFF) return static_cast<char>(0x9F);
  return static_cast<char>(u);
}

// The capital of a small letter the code page lacks, for the scripts whose names a program of
// another European locale writes: Latin Extended-A, Greek, Cyrillic, Armenian and full-width
// Latin. Other characters stay as they are, so names in other scripts compare exactly.
constexpr char32_t UpperOf(char32_t c) {
  const bool pairsEvenUpper = (c >= 0x0100 && c <= 0x012F) || (c >= 0x0132 && c <= 0x0137) ||
                              (c >= 0x014A && c <= 0x0177) || (c >= 0x0460 && c <= 0x0481) ||
                              (c >= 0x048A && c <= 0x04BF);
  if (pairsEvenUpper) return c & ~char32_t{1};
  const bool pairsOddUpper = (c >= 0x0139 && c <= 0x0148) || (c >= 0x0179 && c <= 0x017E);
  if (pairsOddUpper) return (c & 1u) != 0 ? c : c - 1;
  if (c == 0x03C2) return 0x03A3;  // final sigma
  if ((c >= 0x03B1 && c <= 0x03CB) || (c >= 0x0430 && c <= 0x044F) || (c >= 0xFF41 && c <= 0xFF5A))
    return c - 0x20;
  if (c == 0x03AC) return 0x0386;
  if (c >= 0x03AD && c <= 0x03AF) return c - 0x25;
  if (c == 0x03CC) return 0x038C;
  if (c == 0x03CD || c == 0x03CE) return c - 0x3F;
  if (c >= 0x0450 && c <= 0x045F) return c - 0x50;
  if (c >= 0x0561 && c <= 0x0586) return c - 0x30;
  return c;
}

// Looked up: every name of every path of every call is compared through here.
constexpr std::array<char, 256> kFold = [] {
  std::array<char, 256> table{};
  for (unsigned u = 0; u < 256; ++u) table[u] = FoldOf(static_cast<unsigned char>(u));
  return table;
}();

char FoldChar(char c) {
  return kFold[static_cast<unsigned char>(c)];
}

// How many leading bytes two texts share; word by word, as paths share long beginnings.
std::size_t CommonPrefix(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) break;
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}
bool HoldsWideChars(std::string_view a, std::string_view b) {
  return platform::HasWideChars(a) || platform::HasWideChars(b);
}

// The folded form of a name holding characters the code page lacks: each such character is
// held still, by its capital. As long as the name, so that lengths compare as before.
std::string FoldHeld(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  char32_t c = 0;
  for (std::size_t i = 0; i < s.size();) {
    if (platform::WideCharAt(s, i, &c)) {
      platform::AppendWideChar(out, UpperOf(c));
      i += platform::kWideCharLength;
    } else {
      out.push_back(FoldChar(s[i++]));
    }
  }
  return out;
}
}  // namespace

std::string Fold(std::string_view s) {
  if (platform::HasWideChars(s)) return FoldHeld(s);
  std::string out(s);
  for (char& c : out) c = FoldChar(c);
  return out;
}

void AppendFolded(std::string& out, std::string_view s) {
  if (platform::HasWideChars(s)) {
    out += FoldHeld(s);
    return;
  }
  const std::size_t at = out.size();
  out += s;
  for (std::size_t i = at; i < out.size(); ++i) out[i] = FoldChar(out[i]);
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = CommonPrefix(a, b); i < a.size(); ++i) {
    // Held characters are asked only where the bytes differ: names seldom hold any.
    if (FoldChar(a[i]) != FoldChar(b[i])) return HoldsWideChars(a, b) && FoldHeld(a) == FoldHeld(b);
  }
  return true;
}

std::string UpToNul(const std::string& s) {
  return s.substr(0, s.find('\0'));
}

const std::string& UpToNul(const std::string& s, std::string& cut) {
  const auto nul = s.find('\0');
  if (nul == std::string::npos) return s;
  cut = s.substr(0, nul);
  return cut;
}

std::vector<std::string> SplitPath(std::string_view path) {
  // Sized first and cut whole: every path of every call goes through here.
  std::vector<std::string> parts;
  parts.reserve(static_cast<std::size_t>(std::count(path.begin(), path.end(), '\\')) + 1);
  const std::string_view all(path);
  for (std::size_t start = 0; start <= all.size();) {
    const std::size_t end = std::min(all.find('\\', start), all.size());
    if (end > start) parts.emplace_back(all.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

int CompareFolded(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  // Names met on the way down a path usually agree byte for byte: equal words are skipped.
  for (std::size_t i = CommonPrefix(a, b); i < n; ++i) {
    if (a[i] == b[i]) continue;
    const auto x = static_cast<unsigned char>(FoldChar(a[i]));
    const auto y = static_cast<unsigned char>(FoldChar(b[i]));
    if (x == y) continue;
    if (HoldsWideChars(a, b)) {
      const int c = FoldHeld(a).compare(FoldHeld(b));
      return c == 0 ? 0 : (c < 0 ? -1 : 1);
    }
    return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

namespace {
// Where `child` is or belongs. Exports list siblings in order, so the last place is tried first.
std::vector<std::shared_ptr<Key>>::const_iterator Place(
    const std::vector<std::shared_ptr<Key>>& subkeys, std::string_view child) {
  if (subkeys.empty() || CompareFolded(subkeys.back()->name, child) < 0) return subkeys.end();
  return std::lower_bound(subkeys.begin(), subkeys.end(), child,
                          [](const std::shared_ptr<Key>& k, std::string_view c) {
                            return CompareFolded(k->name, c) < 0;
                          });
}

// The next non-empty component of a "A\B" path, from *pos on; empty at the end.
std::string_view NextPart(std::string_view path, std::size_t* pos) {
  while (*pos < path.size() && path[*pos] == '\\') ++*pos;
  const std::size_t start = *pos;
  while (*pos < path.size() && path[*pos] != '\\') ++*pos;
  return path.substr(start, *pos - start);
}
}  // namespace

const std::shared_ptr<Key>* Key::Slot(std::string_view child) const {
  const auto it = Place(subkeys, child);
  return it != subkeys.end() && CompareFolded((*it)->name, child) == 0 ? &*it : nullptr;
}

std::shared_ptr<Key> Key::Find(std::string_view child) const {
  const std::shared_ptr<Key>* slot = Slot(child);
  return slot != nullptr ? *slot : nullptr;
}

std::shared_ptr<Key> Key::Add(std::string_view child) {
  const auto it = Place(subkeys, child);
  if (it != subkeys.end() && CompareFolded((*it)->name, child) == 0) return *it;
  auto key = std::make_shared<Key>();
  key->name = child;
  key->parent = this;
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

namespace {
std::shared_ptr<Key> Copy(const Key& from, Key* parent) {
  auto to = std::make_shared<Key>();
  to->name = from.name;
  to->parent = parent;
  to->values = from.values;
  to->deleted = from.deleted;
  to->allowed = from.allowed;
  to->isVolatile = from.isVolatile;
  to->subkeys.reserve(from.subkeys.size());
  for (const auto& sub : from.subkeys) to->subkeys.push_back(Copy(*sub, to.get()));
  return to;
}
}  // namespace

RegistryStore::RegistryStore(const RegistryStore& other)
    : hklm_(Copy(*other.hklm_, nullptr)),
      hkcu_(Copy(*other.hkcu_, nullptr)),
      hku_(Copy(*other.hku_, nullptr)) {}

std::shared_ptr<Key> RegistryStore::Counterpart(const RegistryStore& other, const Key& key) {
  if (key.deleted) return nullptr;
  const platform::HKey root = other.RootOf(key);
  return root == 0 ? nullptr : Lookup(root, key.Path());
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
                                               std::string_view path) {
  // Down the tree by the places in the lists, so that only the key found is shared.
  const std::shared_ptr<Key>* k = &from;
  std::size_t pos = 0;
  for (std::string_view part = NextPart(path, &pos); !part.empty() && *k;
       part = NextPart(path, &pos)) {
    k = (*k)->Slot(part);
    if (k == nullptr) return nullptr;
  }
  return *k;
}

std::shared_ptr<Key> RegistryStore::Lookup(platform::HKey root, std::string_view path) {
  auto r = Root(root);
  return r ? LookupFrom(r, path) : nullptr;
}

std::shared_ptr<Key> RegistryStore::Create(platform::HKey root, const std::string& path) {
  auto k = Root(root);
  if (!k) return nullptr;
  // An import names each key's parent just before the key and creates a key once per value:
  // the keys along the last path are taken again, as far as the paths agree byte for byte and
  // the keys still stand where they stood.
  if (recent_.empty() || recent_.front() != k) {
    recent_.assign(1, k);
    recentEnds_.assign(1, 0);
    recentPath_.clear();
  }
  const std::size_t same = CommonPrefix(path, recentPath_);
  std::size_t depth = 0;
  while (depth + 1 < recent_.size() && recentEnds_[depth + 1] <= same &&
         (recentEnds_[depth + 1] == path.size() || path[recentEnds_[depth + 1]] == '\\') &&
         !recent_[depth + 1]->deleted && recent_[depth + 1]->parent == recent_[depth].get()) {
    ++depth;
  }
  recent_.resize(depth + 1);
  recentEnds_.resize(depth + 1);
  k = recent_[depth];
  std::size_t pos = recentEnds_[depth];
  for (std::string_view part = NextPart(path, &pos); !part.empty(); part = NextPart(path, &pos)) {
    k = k->Add(part);
    recent_.push_back(k);
    recentEnds_.push_back(pos);
  }
  recentPath_ = path;
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
