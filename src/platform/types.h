// Basic types shared by every platform interface: status codes, handles and the
// predefined root keys, all with their Windows values.
#pragma once

#include <cstdint>

#ifdef HKEY_LOCAL_MACHINE
#error "Include the platform headers before <windows.h>: its root-key macros clash with ours."
#endif

namespace dravlin::platform {

// A Windows error number (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ...), as returned by the
// registry functions or by GetLastError.
using Status = std::uint32_t;

// Opened registry keys and the predefined roots. Roots are the 32-bit predefined values;
// any other non-zero value is a key opened through the Registry interface.
using HKey = std::uint32_t;

// Kernel objects (tokens, pseudo-handles of the current process and thread).
using Handle = std::uint64_t;

inline constexpr HKey HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr HKey HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKey HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr HKey HKEY_USERS = 0x80000003u;

inline constexpr bool IsPredefinedKey(HKey k) {
  return k >= 0x80000000u && k <= 0x80000006u;
}

// Windows error numbers that the program and the simulated machine use.
inline constexpr Status ERROR_SUCCESS = 0;
inline constexpr Status ERROR_FILE_NOT_FOUND = 2;
inline constexpr Status ERROR_PATH_NOT_FOUND = 3;
inline constexpr Status ERROR_ACCESS_DENIED = 5;
inline constexpr Status ERROR_INVALID_HANDLE = 6;
inline constexpr Status ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr Status ERROR_SHARING_VIOLATION = 32;
inline constexpr Status ERROR_FILE_EXISTS = 80;
inline constexpr Status ERROR_INVALID_PARAMETER = 87;
inline constexpr Status ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr Status ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr Status ERROR_INVALID_NAME = 123;
inline constexpr Status ERROR_BAD_PATHNAME = 161;
inline constexpr Status ERROR_ALREADY_EXISTS = 183;
inline constexpr Status ERROR_MORE_DATA = 234;
inline constexpr Status ERROR_NO_MORE_ITEMS = 259;
inline constexpr Status ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr Status ERROR_NOT_ALL_ASSIGNED = 1300;
inline constexpr Status ERROR_NO_SUCH_PRIVILEGE = 1313;
inline constexpr Status ERROR_PRIVILEGE_NOT_HELD = 1314;
inline constexpr Status ERROR_INVALID_FLAGS = 1004;
inline constexpr Status ERROR_NO_TOKEN = 1008;
inline constexpr Status ERROR_BADDB = 1009;
inline constexpr Status ERROR_BADKEY = 1010;
inline constexpr Status ERROR_CANTOPEN = 1011;
inline constexpr Status ERROR_CANTREAD = 1012;
inline constexpr Status ERROR_CANTWRITE = 1013;
inline constexpr Status ERROR_REGISTRY_CORRUPT = 1015;
inline constexpr Status ERROR_KEY_DELETED = 1018;
inline constexpr Status ERROR_KEY_HAS_CHILDREN = 1020;
inline constexpr Status ERROR_CHILD_MUST_BE_VOLATILE = 1021;
inline constexpr Status ERROR_RPC_S_SERVER_UNAVAILABLE = 1722;
inline constexpr Status ERROR_RESOURCE_LANG_NOT_FOUND = 15100;

}  // namespace dravlin::platform
