// The registry: pass-throughs to the ANSI advapi32 calls, outputs written only on success.
#include "platform/win32/win32.h"

#include <cstring>
#include <vector>

#include "platform/win32/windows_api.h"

namespace dravlin::win32 {

using platform::HKey;
using platform::Status;

platform::Status Registry::RegOpenKeyExA(HKey key, const std::string& subKey, std::uint32_t options,
                                         std::uint32_t samDesired, HKey* result) {
  HKEY opened = nullptr;
  const LONG status = ::RegOpenKeyExA(ToHkey(key), subKey.c_str(), options, samDesired, &opened);
  if (status == ERROR_SUCCESS) *result = FromHkey(opened);
  return static_cast<Status>(status);
}

platform::Status Registry::RegOpenKeyA(HKey key, const std::string& subKey, HKey* result) {
  HKEY opened = nullptr;
  const LONG status = ::RegOpenKeyA(ToHkey(key), subKey.c_str(), &opened);
  if (status == ERROR_SUCCESS) *result = FromHkey(opened);
  return static_cast<Status>(status);
}

platform::Status Registry::RegCreateKeyExA(HKey key, const std::string& subKey,
                                           std::uint32_t options, std::uint32_t samDesired,
                                           HKey* result, std::uint32_t* disposition) {
  HKEY created = nullptr;
  DWORD how = 0;
  const LONG status = ::RegCreateKeyExA(ToHkey(key), subKey.c_str(), 0, nullptr, options,
                                        samDesired, nullptr, &created, &how);
  if (status == ERROR_SUCCESS) {
    *result = FromHkey(created);
    if (disposition != nullptr) *disposition = how;
  }
  return static_cast<Status>(status);
}

platform::Status Registry::RegCloseKey(HKey key) {
  return static_cast<Status>(::RegCloseKey(ToHkey(key)));
}

platform::Status Registry::RegFlushKey(HKey key) {
  return static_cast<Status>(::RegFlushKey(ToHkey(key)));
}

platform::Status Registry::RegQueryValueExA(HKey key, const std::string& valueName,
                                            std::uint32_t* type, std::uint8_t* data,
                                            std::uint32_t* cbData) {
  DWORD kind = 0;
  DWORD size = cbData != nullptr ? *cbData : 0;
  LONG status = 0;
  if (data == nullptr) {
    status = ::RegQueryValueExA(ToHkey(key), valueName.c_str(), nullptr, &kind, nullptr,
                                cbData != nullptr ? &size : nullptr);
  } else {
    if (cbData == nullptr) return ERROR_INVALID_PARAMETER;
    // Windows leaves the caller's buffer undefined when the data does not fit; a private copy
    // keeps the promise that a failed query touches nothing and a short one only its bytes.
    std::vector<std::uint8_t> scratch(size);
    status = ::RegQueryValueExA(ToHkey(key), valueName.c_str(), nullptr, &kind,
                                scratch.empty() ? nullptr : scratch.data(), &size);
    if (scratch.empty() && status == ERROR_SUCCESS && size > 0) status = ERROR_MORE_DATA;
    if (status == ERROR_SUCCESS && size > 0) std::memcpy(data, scratch.data(), size);
  }
  if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
    if (type != nullptr) *type = kind;
    if (cbData != nullptr) *cbData = size;
  }
  return static_cast<Status>(status);
}

platform::Status Registry::RegSetValueExA(HKey key, const std::string& valueName,
                                          std::uint32_t type, const std::uint8_t* data,
                                          std::uint32_t cbData) {
  return static_cast<Status>(
      ::RegSetValueExA(ToHkey(key), valueName.c_str(), 0, type, data, cbData));
}

platform::Status Registry::RegDeleteValueA(HKey key, const std::string& valueName) {
  return static_cast<Status>(::RegDeleteValueA(ToHkey(key), valueName.c_str()));
}

platform::Status Registry::RegDeleteKeyA(HKey key, const std::string& subKey) {
  return static_cast<Status>(::RegDeleteKeyA(ToHkey(key), subKey.c_str()));
}

platform::Status Registry::RegEnumKeyExA(HKey key, std::uint32_t index, char* name,
                                         std::uint32_t* cchName) {
  if (name == nullptr || cchName == nullptr) return ERROR_INVALID_PARAMETER;
  // As for values: a name that does not fit leaves the caller's buffer as it was.
  std::vector<char> scratch(*cchName + 1u, '\0');
  DWORD length = *cchName;
  const LONG status = ::RegEnumKeyExA(ToHkey(key), index, scratch.data(), &length, nullptr, nullptr,
                                      nullptr, nullptr);
  if (status == ERROR_SUCCESS) {
    std::memcpy(name, scratch.data(), length + 1u);
    *cchName = length;
  } else if (status == ERROR_MORE_DATA) {
    *cchName = length;
  }
  return static_cast<Status>(status);
}

platform::Status Registry::RegEnumValueA(HKey key, std::uint32_t index, char* valueName,
                                         std::uint32_t* cchValueName, std::uint32_t* type,
                                         std::uint8_t* data, std::uint32_t* cbData) {
  if (valueName == nullptr || cchValueName == nullptr || (data != nullptr && cbData == nullptr))
    return ERROR_INVALID_PARAMETER;
  // Windows leaves the buffers undefined when something does not fit; ours stay as they were.
  std::vector<char> name(*cchValueName + 1u, '\0');
  DWORD nameLength = *cchValueName;
  std::vector<BYTE> bytes(data != nullptr ? *cbData + 1u : 1u, 0);
  DWORD size = cbData != nullptr ? *cbData : 0;
  DWORD valueType = 0;
  const LONG status = ::RegEnumValueA(ToHkey(key), index, name.data(), &nameLength, nullptr,
                                      &valueType, data != nullptr ? bytes.data() : nullptr,
                                      cbData != nullptr ? &size : nullptr);
  if (status == ERROR_SUCCESS) {
    std::memcpy(valueName, name.data(), nameLength + 1u);
    *cchValueName = nameLength;
    if (type != nullptr) *type = valueType;
    if (data != nullptr && size > 0) std::memcpy(data, bytes.data(), size);
    if (cbData != nullptr) *cbData = size;
  } else if (status == ERROR_MORE_DATA && data != nullptr) {
    *cbData = size;
  }
  return static_cast<Status>(status);
}

platform::Status Registry::RegQueryInfoKeyA(HKey key, std::uint32_t* subKeys,
                                            std::uint32_t* maxSubKeyLen, std::uint32_t* values,
                                            std::uint32_t* maxValueNameLen,
                                            std::uint32_t* maxValueLen) {
  DWORD counts[5] = {};
  const LONG status =
      ::RegQueryInfoKeyA(ToHkey(key), nullptr, nullptr, nullptr, &counts[0], &counts[1], nullptr,
                         &counts[2], &counts[3], &counts[4], nullptr, nullptr);
  if (status == ERROR_SUCCESS) {
    std::uint32_t* outputs[5] = {subKeys, maxSubKeyLen, values, maxValueNameLen, maxValueLen};
    for (int i = 0; i < 5; ++i) {
      if (outputs[i] != nullptr) *outputs[i] = counts[i];
    }
  }
  return static_cast<Status>(status);
}

platform::Status Registry::RegSaveKeyA(HKey key, const std::string& file) {
  return static_cast<Status>(::RegSaveKeyA(ToHkey(key), file.c_str(), nullptr));
}

platform::Status Registry::RegRestoreKeyA(HKey key, const std::string& file, std::uint32_t flags) {
  return static_cast<Status>(::RegRestoreKeyA(ToHkey(key), file.c_str(), flags));
}

}  // namespace dravlin::win32
