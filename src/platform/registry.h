// The registry in its ANSI form (advapi32 ...A functions). Names and data are bytes in the
// ANSI code page; like the C API, a name ends at its first NUL character.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace dravlin::platform {

inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;
inline constexpr std::uint32_t REG_DWORD_BIG_ENDIAN = 5;
inline constexpr std::uint32_t REG_LINK = 6;
inline constexpr std::uint32_t REG_MULTI_SZ = 7;
inline constexpr std::uint32_t REG_RESOURCE_LIST = 8;

inline constexpr std::uint32_t KEY_READ = 0x20019;
inline constexpr std::uint32_t KEY_ALL_ACCESS = 0xF003F;
inline constexpr std::uint32_t KEY_WRITE = 0x20006;
inline constexpr std::uint32_t DELETE = 0x10000;
inline constexpr std::uint32_t MAXIMUM_ALLOWED = 0x02000000;
inline constexpr std::uint32_t GENERIC_ALL = 0x10000000;
inline constexpr std::uint32_t GENERIC_EXECUTE = 0x20000000;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000;
inline constexpr std::uint32_t GENERIC_READ = 0x80000000;
inline constexpr std::uint32_t REG_OPTION_VOLATILE = 1;

inline constexpr std::uint32_t REG_OPTION_NON_VOLATILE = 0;
inline constexpr std::uint32_t REG_CREATED_NEW_KEY = 1;
inline constexpr std::uint32_t REG_OPENED_EXISTING_KEY = 2;

inline constexpr std::uint32_t REG_FORCE_RESTORE = 8;

class Registry {
 public:
  virtual ~Registry() = default;

  // On failure *result is left untouched.
  virtual Status RegOpenKeyExA(HKey key, const std::string& subKey, std::uint32_t options,
                               std::uint32_t samDesired, HKey* result) = 0;
  // The old form: opens with the maximum allowed access.
  virtual Status RegOpenKeyA(HKey key, const std::string& subKey, HKey* result) = 0;
  // Creates missing intermediate keys; disposition may be null.
  virtual Status RegCreateKeyExA(HKey key, const std::string& subKey, std::uint32_t options,
                                 std::uint32_t samDesired, HKey* result,
                                 std::uint32_t* disposition) = 0;
  virtual Status RegCloseKey(HKey key) = 0;
  virtual Status RegFlushKey(HKey key) = 0;

  // data null: reports type and size only. Otherwise fills at most *cbData bytes, leaves the
  // rest of the buffer untouched and sets *cbData to the bytes written; a buffer too small
  // for the data gives ERROR_MORE_DATA with *cbData set to the size needed.
  virtual Status RegQueryValueExA(HKey key, const std::string& valueName, std::uint32_t* type,
                                  std::uint8_t* data, std::uint32_t* cbData) = 0;
  virtual Status RegSetValueExA(HKey key, const std::string& valueName, std::uint32_t type,
                                const std::uint8_t* data, std::uint32_t cbData) = 0;
  virtual Status RegDeleteValueA(HKey key, const std::string& valueName) = 0;
  virtual Status RegDeleteKeyA(HKey key, const std::string& subKey) = 0;

  // *cchName: in, the buffer's capacity in characters; out, the name's length without NUL.
  // ERROR_NO_MORE_ITEMS past the last subkey; ERROR_MORE_DATA when the name does not fit.
  virtual Status RegEnumKeyExA(HKey key, std::uint32_t index, char* name,
                               std::uint32_t* cchName) = 0;
  // *cchValueName: in, the name buffer's capacity in characters; out, the name's length without
  // NUL. type and cbData may be null; data null reports the data's size in *cbData. The value's
  // bytes come as they are (no terminator added). ERROR_MORE_DATA when the name or the data does
  // not fit (*cbData then holds the size needed); ERROR_NO_MORE_ITEMS past the last value.
  virtual Status RegEnumValueA(HKey key, std::uint32_t index, char* valueName,
                               std::uint32_t* cchValueName, std::uint32_t* type, std::uint8_t* data,
                               std::uint32_t* cbData) = 0;
  // Any output may be null.
  virtual Status RegQueryInfoKeyA(HKey key, std::uint32_t* subKeys, std::uint32_t* maxSubKeyLen,
                                  std::uint32_t* values, std::uint32_t* maxValueNameLen,
                                  std::uint32_t* maxValueLen) = 0;

  virtual Status RegSaveKeyA(HKey key, const std::string& file) = 0;
  virtual Status RegRestoreKeyA(HKey key, const std::string& file, std::uint32_t flags) = 0;
};

}  // namespace dravlin::platform
