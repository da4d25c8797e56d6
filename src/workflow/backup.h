// What the second step deletes is kept first, in a folder beside the activity log named with
// the date and time of the run: removed.reg (every deleted key with its subtree and every deleted
// value, for regedit to put back), each deleted file as "name.removed" (a name Windows does not
// load), and restore.txt, which says in German and English what is there and how to restore it.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/services.h"

namespace dravlin {

namespace regfile {
struct RegKeyEntry;
}

// The key and everything below it, parents before their subkeys, each path with its long root
// name. A subkey that cannot be read is passed over; the first failure is returned.
platform::Status ReadTree(platform::Registry& reg, platform::HKey root, const std::string& path,
                          std::vector<regfile::RegKeyEntry>* out);

class Backup {
 public:
  // folderParent: where the backup folder goes; asked once, when the first item is saved.
  Backup(platform::Services& services, std::function<std::string()> folderParent)
      : sv_(services), folderParent_(std::move(folderParent)) {}

  // Each saves the item before it is deleted and checks what it wrote. False when the item
  // exists but could not be kept; an item that is not there has nothing to keep (true).
  bool SaveKey(platform::HKey root, const std::string& path);
  bool SaveValue(platform::HKey root, const std::string& path, const std::string& valueName);
  bool SaveFile(const std::string& path);

  // The folder made for this run; empty until something was saved.
  const std::string& Folder() const { return folder_; }

 private:
  bool EnsureFolder();
  bool AppendRegistry(const std::string& regedit4);
  // Appends text and a line end, then checks that the file grew by exactly that much.
  bool AppendChecked(const std::string& path, const std::string& text);

  platform::Services& sv_;
  std::function<std::string()> folderParent_;
  std::string folder_;
  bool notesWritten_ = false;
  std::set<std::string> fileNames_;  // backup names in use, upper case
};

}  // namespace dravlin
