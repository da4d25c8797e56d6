#include "registry/modRegKeyRename.h"

#include <algorithm>
#include <new>
#include <optional>

#include "platform/key.h"
#include "platform/raised_error.h"

namespace dravlin {

namespace {

using platform::HKey;
using platform::Status;
using platform::UniqueKey;

constexpr const char* kTempHive = "C:\\RegTemp.txt";
constexpr const char* kSourcePrefix = "CCSysRegistry:";
constexpr std::uint32_t kPrivilegeRecordBytes = 28;  // count + two LUID_AND_ATTRIBUTES
constexpr std::uint32_t kMessageChars = 256;
constexpr std::uint32_t kSystemDirChars = 255;

[[noreturn]] void Raise(std::int32_t number, std::string description) {
  throw RaisedError(number, kDefaultErrorSource, std::move(description));
}

// What each handler of the module does before raising the error again: an error that
// does not yet name a procedure of ours gets this procedure's name.
void NameSource(RaisedError& error, const char* procedure) {
  if (error.source().find(':') == std::string::npos) {
    error.set_source(std::string(kSourcePrefix) + procedure);
  }
}

// Runs body under a handler that names the procedure in the error's source. Running out of
// memory is a run-time error like any other and leaves the same way.
template <typename Body>
auto Guarded(const char* procedure, Body&& body) -> decltype(body()) {
  try {
    try {
      return body();
    } catch (const std::bad_alloc&) {
      throw RaisedError(7, kDefaultErrorSource, "Out of memory");
    }
  } catch (RaisedError& error) {
    NameSource(error, procedure);
    throw;
  }
}

// The runtime's texts for the errors its file functions report.
std::string RuntimeErrorText(platform::RtError error) {
  switch (error) {
    case platform::RT_BAD_FILE_NAME_OR_NUMBER:
      return "Bad file name or number";
    case platform::RT_FILE_NOT_FOUND:
      return "File not found";
    case platform::RT_FILE_ALREADY_OPEN:
      return "File already open";
    case platform::RT_DEVICE_IO_ERROR:
      return "Device I/O error";
    case platform::RT_PERMISSION_DENIED:
      return "Permission denied";
    case platform::RT_PATH_FILE_ACCESS_ERROR:
      return "Path/File access error";
    case platform::RT_PATH_NOT_FOUND:
      return "Path not found";
    default:
      return "Application-defined or object-defined error";
  }
}

}  // namespace

void modRegKeyRename::OwnedToken::Reset(platform::Handle handle) {
  if (handle_ != 0 && handle_ != handle) (void)kernel_->CloseHandle(handle_);
  handle_ = handle;
}

void modRegKeyRename::setBackupAndRestorePriviliges() {
  Guarded("setBackupAndRestorePriviliges", [this] {
    platform::Security& security = sv_.security;
    platform::Handle token = 0;
    const bool opened = security.OpenProcessToken(
        sv_.kernel.GetCurrentProcess(), platform::TOKEN_ADJUST_PRIVILEGES | platform::TOKEN_QUERY,
        &token);
    privilegeToken_.Reset(opened ? token : 0);
    if (!opened) Raise(13801, "Opening process token failed.");

    platform::Luid restore;
    if (!security.LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &restore)) {
      Raise(13802, "Looking up restore privilege failed.");
    }
    platform::Luid backup;
    if (!security.LookupPrivilegeValueA(nullptr, "SeBackupPrivilege", &backup)) {
      Raise(13803, "Looking up backup privilege failed.");
    }

    newPrivileges_.Privileges = {{restore, platform::SE_PRIVILEGE_ENABLED},
                                 {backup, platform::SE_PRIVILEGE_ENABLED}};
    // Only the call's own answer counts; "not all assigned" is not looked at.
    if (!security.AdjustTokenPrivileges(privilegeToken_.get(), false, &newPrivileges_,
                                        kPrivilegeRecordBytes)) {
      Raise(13804, "Adjusting new privileges failed.");
    }
  });
}

void modRegKeyRename::resetBackupAndRestorePriviliges() {
  Guarded("resetBackupAndRestorePriviliges", [this] {
    // Disable-all: every privilege of the token goes off, not only the two we enabled.
    if (!sv_.security.AdjustTokenPrivileges(privilegeToken_.get(), true, &newPrivileges_,
                                            kPrivilegeRecordBytes)) {
      Raise(13805, "Resetting new privileges failed.");
    }
  });
}

std::string modRegKeyRename::getErrorMessage(std::int32_t errorCode) {
  return Guarded("getErrorMessage", [&]() -> std::string {
    if (errorCode == 0) Raise(13807, "'0' is a invalid message ID.");
    std::string buffer(kMessageChars, '\0');
    std::uint32_t stored = sv_.kernel.FormatMessageA(platform::FORMAT_MESSAGE_FROM_SYSTEM,
                                                     static_cast<std::uint32_t>(errorCode), 0,
                                                     buffer.data(), kMessageChars);
    if (stored == 0) {
      Raise(13808, "Message '" + std::to_string(errorCode) +
                       "' could not be found in System Message Table.");
    }
    stored = std::min(stored, kMessageChars);
    // Only the last character (the line feed of the system's CR LF) is dropped.
    return buffer.substr(0, stored - 1);
  });
}

bool modRegKeyRename::removeLeftoverTemp() {
  return !sv_.files.FileExists(kTempHive) || sv_.files.Kill(kTempHive) == platform::RT_OK;
}

std::int32_t modRegKeyRename::renameKey(HKey rootKey, const std::string& oldKeyPath,
                                        const std::string& newKeyPath) {
  platform::Registry& reg = sv_.registry;
  UniqueKey oldKey(reg);
  UniqueKey newKey(reg);
  try {
    return Guarded("renameKey", [&]() -> std::int32_t {
      setBackupAndRestorePriviliges();

      const Status opened =
          reg.RegOpenKeyExA(rootKey, oldKeyPath, 0, platform::KEY_ALL_ACCESS, oldKey.put());
      if (opened != platform::ERROR_SUCCESS) {
        if (opened == platform::ERROR_FILE_NOT_FOUND) {
          sv_.ui.MessageBox("Temporäre Schlüsseldaten nicht gefunden", platform::MB_OK,
                            std::nullopt);
        } else if (opened == platform::ERROR_ACCESS_DENIED) {
          sv_.ui.MessageBox("Zugriff verweigert", platform::MB_OK, std::nullopt);
        }
        resetBackupAndRestorePriviliges();
        return static_cast<std::int32_t>(opened);
      }

      auto raiseStatus = [this](Status status) {
        const auto number = static_cast<std::int32_t>(status);
        Raise(number, getErrorMessage(number));
      };
      auto removeTemp = [this] {
        if (sv_.files.FileExists(kTempHive)) {
          const platform::RtError killed = sv_.files.Kill(kTempHive);
          if (killed != platform::RT_OK) Raise(killed, RuntimeErrorText(killed));
        }
      };

      // A file left by an earlier failed call would make the save fail.
      removeTemp();
      if (const Status saved = reg.RegSaveKeyA(oldKey.get(), kTempHive);
          saved != platform::ERROR_SUCCESS) {
        raiseStatus(saved);
      }

      const Status openedNew =
          reg.RegOpenKeyExA(rootKey, newKeyPath, 0, platform::KEY_ALL_ACCESS, newKey.put());
      if (openedNew == platform::ERROR_FILE_NOT_FOUND) {
        const Status created =
            reg.RegCreateKeyExA(rootKey, newKeyPath, platform::REG_OPTION_NON_VOLATILE,
                                platform::KEY_ALL_ACCESS, newKey.put(), nullptr);
        if (created != platform::ERROR_SUCCESS) raiseStatus(created);
      }
      // Any other failure of the open leaves no key: the restore below then fails on the
      // missing handle, and that failure is what the caller hears.

      // Force: the new key's whole subtree becomes the saved one.
      if (const Status restored =
              reg.RegRestoreKeyA(newKey.get(), kTempHive, platform::REG_FORCE_RESTORE);
          restored != platform::ERROR_SUCCESS) {
        raiseStatus(restored);
      }

      (void)newKey.Close();
      (void)oldKey.Close();
      removeTemp();
      resetBackupAndRestorePriviliges();
      return 0;
    });
  } catch (RaisedError&) {
    // The handler closes both keys; it neither removes the temporary file nor resets the
    // privileges.
    (void)newKey.Close();
    (void)oldKey.Close();
    throw;
  }
}

void modRegKeyRename::saveKeyToFile(HKey rootKey, const std::string& keyPath,
                                    const std::string& filePath) {
  try {
    UniqueKey key(sv_.registry);
    (void)sv_.registry.RegOpenKeyExA(rootKey, keyPath, 0, platform::KEY_ALL_ACCESS, key.put());
    if (sv_.shell.PathFileExistsA(filePath)) (void)sv_.kernel.DeleteFileA(filePath);
    // After a failed open the save and the close still run, on handle 0, and fail harmlessly.
    (void)sv_.registry.RegSaveKeyA(key.get(), filePath);
    if (key) {
      (void)key.Close();
    } else {
      (void)sv_.registry.RegCloseKey(0);
    }
  } catch (const std::exception&) {
    // Nothing is reported: the caller looks for the file.
  }
}

std::string modRegKeyRename::GetSystemDir() {
  std::string buffer(kSystemDirChars, ' ');
  const std::uint32_t written = sv_.kernel.GetSystemDirectoryA(buffer.data(), kSystemDirChars);
  if (written < kSystemDirChars) return buffer.substr(0, written);
  // The path did not fit: the answer is the size needed, so ask once more with room for it.
  if (written > 32768) return {};
  std::string larger(written, ' ');
  const std::uint32_t again = sv_.kernel.GetSystemDirectoryA(larger.data(), written);
  return again < written ? larger.substr(0, again) : std::string();
}

}  // namespace dravlin
