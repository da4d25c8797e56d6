// Renaming a registry key through a hive file, the backup and restore privileges this
// needs, saving a key to a file, system message texts, and the system directory.
// Failures are raised as RaisedError with a "CCSysRegistry:" source.
#pragma once

#include <cstdint>
#include <string>

#include "platform/security.h"
#include "platform/services.h"

namespace dravlin {

class modRegKeyRename {
 public:
  explicit modRegKeyRename(platform::Services& services) : sv_(services) {}

  // 0 on success, otherwise the status of opening the old key; raises on later failures.
  std::int32_t renameKey(platform::HKey rootKey, const std::string& oldKeyPath,
                         const std::string& newKeyPath);
  // Deletes the temporary hive file a rename cut short left behind; true when none is left.
  bool removeLeftoverTemp();
  // Never raises and reports nothing; the caller looks for the file.
  void saveKeyToFile(platform::HKey rootKey, const std::string& keyPath,
                     const std::string& filePath);

  void setBackupAndRestorePriviliges();
  void resetBackupAndRestorePriviliges();
  std::string getErrorMessage(std::int32_t errorCode);

  std::string GetSystemDir();

 private:
  // The token handle of the privilege state: a new one replaces (and closes) the previous,
  // and the last is closed when the module ends.
  class OwnedToken {
   public:
    explicit OwnedToken(platform::Kernel& kernel) : kernel_(&kernel) {}
    OwnedToken(const OwnedToken&) = delete;
    OwnedToken& operator=(const OwnedToken&) = delete;
    ~OwnedToken() { Reset(0); }
    platform::Handle get() const { return handle_; }
    void Reset(platform::Handle handle);

   private:
    platform::Kernel* kernel_;
    platform::Handle handle_ = 0;
  };

  platform::Services& sv_;
  // Privilege state kept for the life of the program.
  OwnedToken privilegeToken_{sv_.kernel};
  platform::TokenPrivileges newPrivileges_;
};

}  // namespace dravlin
