// Hive images: the saved form of a key tree. Layout (all numbers little endian):
//   "DRVHIVE1", u32 format, u32 payload length, u32 CRC-32 of the payload, payload.
//   payload = key: u32 name length, name, u32 value count, values, u32 subkey count, keys.
//   value: u32 name length, name, u32 type, u32 data length, data.
// Format 1 (DOS-based Windows) holds all data verbatim as ANSI bytes. Format 2 (NT-based
// Windows, whose registry keeps strings in UTF-16) holds the data of string values as
// UTF-16LE, so a byte search for an ANSI path does not find it there.
// The reader trusts nothing: every length is checked against what is left, nesting is
// bounded, and a count can never allocate more than the input could describe.
#include <array>

#include "platform/ansi_names.h"
#include "sim/internal.h"

namespace dravlin::sim::detail {

namespace {

constexpr std::string_view kMagic = "DRVHIVE1";
constexpr std::uint32_t kAnsiFormat = 1;
constexpr std::uint32_t kWideFormat = 2;
constexpr std::size_t kHeaderSize = 8 + 4 + 4 + 4;
constexpr int kMaxDepth = 512;

std::uint32_t Crc32(std::string_view data) {
  static constexpr auto kTable = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (char ch : data) crc = kTable[(crc ^ static_cast<unsigned char>(ch)) & 0xFFu] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

bool IsString(std::uint32_t type) {
  return type == platform::REG_SZ || type == platform::REG_EXPAND_SZ ||
         type == platform::REG_MULTI_SZ;
}

void PutU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFFu));
}

void PutKey(std::string& out, const Key& key, bool wide) {
  PutU32(out, static_cast<std::uint32_t>(key.name.size()));
  out += key.name;
  PutU32(out, static_cast<std::uint32_t>(key.values.size()));
  for (const auto& v : key.values) {
    PutU32(out, static_cast<std::uint32_t>(v.name.size()));
    out += v.name;
    PutU32(out, v.value.type);
    const std::string data = !wide || !IsString(v.value.type) ? v.value.data
                             : v.value.wide.empty() ? platform::Cp1252ToUtf16(v.value.data)
                                                    : v.value.wide;
    PutU32(out, static_cast<std::uint32_t>(data.size()));
    out += data;
  }
  PutU32(out, static_cast<std::uint32_t>(key.subkeys.size()));
  for (const auto& k : key.subkeys) PutKey(out, *k, wide);
}

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  bool U32(std::uint32_t* v) {
    if (in_.size() < 4) return false;
    std::uint32_t r = 0;
    for (int i = 0; i < 4; ++i)
      r |= static_cast<std::uint32_t>(static_cast<unsigned char>(in_[i])) << (8 * i);
    in_.remove_prefix(4);
    *v = r;
    return true;
  }
  bool Bytes(std::uint32_t n, std::string* out) {
    if (in_.size() < n) return false;
    out->assign(in_.substr(0, n));
    in_.remove_prefix(n);
    return true;
  }
  std::size_t Left() const { return in_.size(); }

 private:
  std::string_view in_;
};

// A NUL only where a name holds a character the code page lacks (platform/ansi_names.h).
bool ValidKeyName(const std::string& name) {
  return !name.empty() && name.find('\\') == std::string::npos && platform::WellFormedName(name) &&
         platform::AnsiView(name).size() <= 255;
}

bool ReadKey(Reader& r, Key& key, int depth, bool isRoot, bool wide) {
  if (depth > kMaxDepth) return false;
  std::uint32_t n = 0;
  if (!r.U32(&n) || !r.Bytes(n, &key.name)) return false;
  if (!isRoot && !ValidKeyName(key.name)) return false;
  std::uint32_t valueCount = 0;
  if (!r.U32(&valueCount) || valueCount > r.Left() / 12) return false;
  for (std::uint32_t i = 0; i < valueCount; ++i) {
    NamedValue v;
    std::uint32_t len = 0;
    if (!r.U32(&len) || !r.Bytes(len, &v.name) || !platform::WellFormedName(v.name)) return false;
    if (!r.U32(&v.value.type) || !r.U32(&len) || !r.Bytes(len, &v.value.data)) return false;
    if (wide && IsString(v.value.type)) {
      // Characters the code page lacks read as '?'; the value keeps them as NT does.
      if (v.value.data.size() % 2 != 0) return false;
      bool lacking = false;
      std::string ansi = platform::Utf16ToAnsi(v.value.data, &lacking);
      if (lacking) v.value.wide = std::move(v.value.data);
      v.value.data = std::move(ansi);
    }
    if (key.FindValue(v.name) != nullptr) return false;
    key.values.push_back(std::move(v));
  }
  std::uint32_t subCount = 0;
  if (!r.U32(&subCount) || subCount > r.Left() / 12) return false;
  for (std::uint32_t i = 0; i < subCount; ++i) {
    Key child;
    if (!ReadKey(r, child, depth + 1, false, wide)) return false;
    if (key.Find(child.name)) return false;
    auto added = key.Add(child.name);
    added->values = std::move(child.values);
    added->subkeys = std::move(child.subkeys);
    for (auto& grandchild : added->subkeys) grandchild->parent = added.get();
  }
  return true;
}

}  // namespace

std::string WriteHive(const Key& key, bool wideStrings) {
  std::string payload;
  PutKey(payload, key, wideStrings);
  std::string out(kMagic);
  PutU32(out, wideStrings ? kWideFormat : kAnsiFormat);
  PutU32(out, static_cast<std::uint32_t>(payload.size()));
  PutU32(out, Crc32(payload));
  out += payload;
  return out;
}

std::optional<std::shared_ptr<Key>> ReadHive(std::string_view image) {
  if (image.size() < kHeaderSize || image.substr(0, kMagic.size()) != kMagic) return std::nullopt;
  Reader header(image.substr(kMagic.size(), 12));
  std::uint32_t format = 0, length = 0, crc = 0;
  if (!header.U32(&format) || !header.U32(&length) || !header.U32(&crc)) return std::nullopt;
  const std::string_view payload = image.substr(kHeaderSize);
  if ((format != kAnsiFormat && format != kWideFormat) || payload.size() != length ||
      Crc32(payload) != crc)
    return std::nullopt;
  auto root = std::make_shared<Key>();
  Reader r(payload);
  if (!ReadKey(r, *root, 0, true, format == kWideFormat) || r.Left() != 0) return std::nullopt;
  return root;
}

}  // namespace dravlin::sim::detail
