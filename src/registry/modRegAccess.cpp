#include "registry/modRegAccess.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/key.h"
#include "platform/raised_error.h"

namespace dravlin {

namespace {

using platform::HKey;
using platform::Status;
using platform::UniqueKey;

constexpr const char* kErrorText = "Error";

// A value larger than this is refused as the runtime refuses a string it cannot allocate:
// a platform that reports an absurd size must not make us reserve gigabytes.
constexpr std::uint32_t kMaxValueBytes = 64u * 1024u * 1024u;

// Key names are at most 255 characters on Windows; a longer length reported by a platform is
// believed only up to this bound, which keeps one name buffer small.
constexpr std::uint32_t kMaxNameChars = 32767;

// Subkey listings: the registry gives no hard limit, so these only bound what a broken
// or hostile registry can make us hold or loop over.
constexpr std::uint32_t kMaxSubKeys = 1u << 20;
constexpr std::int32_t kMaxBhoEntries = 1 << 20;

// Windows nests keys at most 512 levels deep and a real tree is finite; a registry that keeps
// handing back more keys is stopped by these bounds instead of recursing forever.
constexpr int kMaxTreeDepth = 512;
constexpr std::uint32_t kMaxTreeNames = 1u << 16;

constexpr std::uint32_t kBhoNameChars = 255;

RaisedError OutOfMemory() {
  return RaisedError(7, kDefaultErrorSource, "Out of memory");
}

// The numeric text the runtime accepts for a 32-bit integer: optional blanks, an optional
// sign, decimal digits, optional blanks. Returns false for anything else; *overflow tells a
// number that does not fit from a text that is not a number.
bool ParseInteger(const std::string& text, std::int32_t* out, bool* overflow) {
  *overflow = false;
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (i < n && blank(text[i])) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t digitsStart = i;
  std::int64_t value = 0;
  while (i < n && text[i] >= '0' && text[i] <= '9') {
    if (value <= (std::int64_t{1} << 32)) value = value * 10 + (text[i] - '0');
    ++i;
  }
  if (i == digitsStart) return false;
  while (i < n && blank(text[i])) ++i;
  if (i != n) return false;
  if (negative) value = -value;
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    *overflow = true;
    return false;
  }
  *out = static_cast<std::int32_t>(value);
  return true;
}

std::string JoinPath(const std::string& parent, const std::string& child) {
  return child.empty() ? parent : parent + "\\" + child;
}

}  // namespace

std::string RegData::AsText() const {
  switch (kind) {
    case Kind::Integer:
      return std::to_string(integer);
    case Kind::Text:
      return text;
    case Kind::Empty:
      break;
  }
  return {};
}

std::int16_t modRegAccess::WriteRegValue(HKey root, const std::string& keyPath,
                                         const std::string& valueName, const RegData& data,
                                         std::uint32_t valueType) {
  UniqueKey key(reg_);
  if (reg_.RegOpenKeyExA(root, keyPath, 0, platform::KEY_ALL_ACCESS, key.put()) !=
      platform::ERROR_SUCCESS) {
    return 0;
  }

  Status written = platform::ERROR_SUCCESS;
  if (valueType == platform::REG_SZ || valueType == platform::REG_BINARY) {
    const std::string text = data.AsText();
    if (text.empty()) {
      // Zero-length data, not even a terminating zero byte.
      const std::uint32_t zero = 0;
      written = reg_.RegSetValueExA(key.get(), valueName, valueType,
                                    reinterpret_cast<const std::uint8_t*>(&zero), 0);
    } else {
      // Only a length the call's 32-bit count cannot carry is refused (reachable on 64-bit hosts).
      if (text.size() >= std::numeric_limits<std::uint32_t>::max()) return 0;
      // std::string keeps a terminating zero after its last character; NULs inside stay.
      written = reg_.RegSetValueExA(key.get(), valueName, valueType,
                                    reinterpret_cast<const std::uint8_t*>(text.c_str()),
                                    static_cast<std::uint32_t>(text.size() + 1));
    }
  } else if (valueType == platform::REG_DWORD) {
    std::int32_t number = 0;
    if (data.kind == RegData::Kind::Integer) {
      number = data.integer;
    } else if (data.kind == RegData::Kind::Text) {
      bool overflow = false;
      if (!ParseInteger(data.text, &number, &overflow)) {
        // A text that is no number is a conversion failure; one that is too large is
        // an overflow, which counts as any other failure.
        return overflow ? 0 : 2;
      }
    }
    std::uint8_t bytes[4];
    std::memcpy(bytes, &number, sizeof bytes);
    written = reg_.RegSetValueExA(key.get(), valueName, platform::REG_DWORD, bytes, 4);
  }

  const Status closed = key.Close();
  return written == platform::ERROR_SUCCESS && closed == platform::ERROR_SUCCESS ? 1 : 0;
}

RegData modRegAccess::ReadRegValue(HKey root, const std::string& keyPath,
                                   const std::string& valueName, std::uint32_t* valueType) {
  auto failed = [valueType] {
    if (valueType != nullptr) *valueType = 0;
    return RegData::Str(kErrorText);
  };

  UniqueKey key(reg_);
  if (reg_.RegOpenKeyExA(root, keyPath, 0, platform::KEY_READ, key.put()) !=
      platform::ERROR_SUCCESS) {
    return failed();
  }

  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (reg_.RegQueryValueExA(key.get(), valueName, &type, nullptr, &size) !=
      platform::ERROR_SUCCESS) {
    return failed();
  }

  RegData result;
  if (type == platform::REG_DWORD || type == platform::REG_DWORD_BIG_ENDIAN) {
    // The stored bytes as they are; a value of other than four bytes must not write past
    // the integer, so the query gets room for whatever size it reported.
    if (size > kMaxValueBytes) throw OutOfMemory();
    std::string bytes(std::max<std::uint32_t>(size, 4), '\0');
    std::uint32_t capacity = size;
    if (reg_.RegQueryValueExA(key.get(), valueName, &type,
                              reinterpret_cast<std::uint8_t*>(bytes.data()),
                              &capacity) != platform::ERROR_SUCCESS) {
      return failed();
    }
    std::int32_t number = 0;
    std::memcpy(&number, bytes.data(), sizeof number);
    result = RegData::Int(number);
  } else if (type <= platform::REG_RESOURCE_LIST) {
    if (size >= kMaxValueBytes) throw OutOfMemory();
    // size + 1 spaces, queried with capacity size: what the call does not overwrite stays
    // a space, and the whole buffer is the result (NULs included).
    std::string buffer(static_cast<std::size_t>(size) + 1, ' ');
    std::uint32_t capacity = size;
    if (reg_.RegQueryValueExA(key.get(), valueName, &type,
                              reinterpret_cast<std::uint8_t*>(buffer.data()),
                              &capacity) != platform::ERROR_SUCCESS) {
      return failed();
    }
    result = RegData::Str(std::move(buffer));
  }
  // Types above 8: the result stays empty, and it is not a failure.

  if (valueType != nullptr) *valueType = type;
  return result;
}

std::int16_t modRegAccess::CreateRegKey(HKey root, const std::string& keyPath) {
  UniqueKey key(reg_);
  std::uint32_t disposition = 0;
  if (reg_.RegCreateKeyExA(root, keyPath, platform::REG_OPTION_NON_VOLATILE,
                           platform::KEY_ALL_ACCESS, key.put(),
                           &disposition) != platform::ERROR_SUCCESS) {
    return 0;
  }
  (void)reg_.RegFlushKey(key.get());  // a failed flush does not change the answer
  (void)key.Close();
  if (disposition == platform::REG_CREATED_NEW_KEY ||
      disposition == platform::REG_OPENED_EXISTING_KEY) {
    return static_cast<std::int16_t>(disposition);
  }
  return 0;
}

bool modRegAccess::RegKeyExists(HKey root, const std::string& keyPath) {
  UniqueKey key(reg_);
  return reg_.RegOpenKeyExA(root, keyPath, 0, platform::KEY_READ, key.put()) ==
         platform::ERROR_SUCCESS;
}

bool modRegAccess::DeleteRegValue(HKey root, const std::string& keyPath,
                                  const std::string& valueName) {
  UniqueKey key(reg_);
  if (reg_.RegOpenKeyExA(root, keyPath, 0, platform::KEY_ALL_ACCESS, key.put()) !=
      platform::ERROR_SUCCESS) {
    return false;
  }
  return reg_.RegDeleteValueA(key.get(), valueName) == platform::ERROR_SUCCESS;
}

bool modRegAccess::DeleteRegKey(HKey root, const std::string& keyPath) {
  return DeleteKeyTree(root, keyPath, "");
}

bool modRegAccess::DeleteKeyTree(HKey root, const std::string& parentPath,
                                 const std::string& childName) {
  std::uint32_t budget = kMaxTreeNames;
  return DeleteKeyTreeAt(root, parentPath, childName, 0, budget);
}

bool modRegAccess::DeleteKeyTreeAt(HKey root, const std::string& parentPath,
                                   const std::string& childName, int depth, std::uint32_t& budget) {
  const std::string key = JoinPath(parentPath, childName);
  if (depth < kMaxTreeDepth && budget > 0) {
    // The whole list first: deleting while enumerating would shift the indexes.
    std::vector<std::string> names;
    EnumSubKeys(root, key, names);
    // A child that cannot be deleted does not stop its siblings.
    for (std::size_t i = 0; i < names.size() && budget > 0; ++i) {
      --budget;
      (void)DeleteKeyTreeAt(root, key, names[i], depth + 1, budget);
    }
  }
  return DeleteSingleKey(root, key);
}

bool modRegAccess::DeleteSingleKey(HKey root, const std::string& keyPath) {
  if (keyPath.empty()) return false;
  const std::size_t cut = keyPath.rfind('\\');
  const std::string parent = cut == std::string::npos ? std::string() : keyPath.substr(0, cut);
  const std::string name = cut == std::string::npos ? keyPath : keyPath.substr(cut + 1);

  UniqueKey key(reg_);
  if (reg_.RegOpenKeyExA(root, parent, 0, platform::KEY_ALL_ACCESS, key.put()) !=
      platform::ERROR_SUCCESS) {
    return false;
  }
  return reg_.RegDeleteKeyA(key.get(), name) == platform::ERROR_SUCCESS;
}

void modRegAccess::EnumSubKeys(HKey root, const std::string& keyPath,
                               std::vector<std::string>& names) {
  UniqueKey key(reg_);
  // An unopened key is not reported: the calls below fail and the list stays empty.
  (void)reg_.RegOpenKeyExA(root, keyPath, 0, platform::KEY_ALL_ACCESS, key.put());

  std::uint32_t count = 0;
  std::uint32_t longest = 0;
  if (reg_.RegQueryInfoKeyA(key.get(), &count, &longest, nullptr, nullptr, nullptr) !=
      platform::ERROR_SUCCESS) {
    count = 0;
    longest = 0;
  }
  count = std::min(count, kMaxSubKeys);
  longest = std::min(longest, kMaxNameChars);

  names.clear();
  names.reserve(std::min<std::uint32_t>(count, 4096));
  const std::uint32_t capacity = longest + 1;
  std::string buffer;
  for (std::uint32_t i = 0; i < count; ++i) {
    buffer.assign(capacity, ' ');
    std::uint32_t length = capacity;
    const Status status = reg_.RegEnumKeyExA(key.get(), i, buffer.data(), &length);
    // Past the last subkey the registry has nothing more to give: the remaining slots
    // would only hold blank buffers, so the list ends here.
    if (status == platform::ERROR_NO_MORE_ITEMS) break;
    // Otherwise the status is not judged: a failed call leaves the buffer as it was.
    names.push_back(buffer.substr(0, std::min(length, capacity)));
  }
}

std::int32_t modRegAccess::EnumBhoClsids(HKey root, const std::string& keyPath) {
  bho_clsid_arr.clear();

  UniqueKey key(reg_);
  if (reg_.RegOpenKeyA(root, keyPath, key.put()) != platform::ERROR_SUCCESS) return 0;

  std::string buffer;
  // Every status but "no more items" records an entry; the bound only keeps a registry that
  // never says so from looping without end.
  for (std::int32_t index = 0; index < kMaxBhoEntries; ++index) {
    buffer.assign(kBhoNameChars, ' ');
    std::uint32_t length = kBhoNameChars;
    const Status status =
        reg_.RegEnumKeyExA(key.get(), static_cast<std::uint32_t>(index), buffer.data(), &length);
    if (status == platform::ERROR_NO_MORE_ITEMS) break;
    BhoEntry& entry = bho_clsid_arr.emplace_back();
    entry.Clsid = buffer.substr(0, std::min(length, kBhoNameChars));
    entry.DllPath =
        ReadRegValue(platform::HKEY_CLASSES_ROOT, "CLSID\\" + entry.Clsid + "\\InprocServer32", "")
            .AsText();
    // A key deleted under us, or a handle gone bad, answers the same at every later index:
    // the entry it gave is the last one there is.
    if (status == platform::ERROR_KEY_DELETED || status == platform::ERROR_INVALID_HANDLE) break;
  }
  (void)key.Close();
  return static_cast<std::int32_t>(bho_clsid_arr.size());
}

}  // namespace dravlin
