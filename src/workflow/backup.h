// What the second step deletes is kept first, in one folder per disinfection beside the activity
// log (or below C:\Dravlin-Backup when the program's folder cannot be written), named with the
// date and time it was made:
// - removed.reg: every deleted key with its subtree and every deleted value, under the root it
//   really lives in, to put everything back at once;
// - one .reg file per removed item (an add-on, a page value), to put back one without the rest;
// - each deleted file as "name.removed" (a name Windows does not load);
// - changed-reg.txt: the old contents of what the run changes rather than deletes. It is text
//   for reading, not a .reg file: importing it would bring the infection back;
// - restore.txt: German and English notes, then every item with what it is, where it goes
//   back and the attributes a file had.
// Each item is written and read back before the caller may delete it. A disinfection that takes
// several starts keeps using its folder: a small file beside it names the folder until the
// disinfection is over.
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/services.h"

namespace dravlin {

namespace regfile {
struct RegKeyEntry;
struct RegFile;
}  // namespace regfile

// The key and everything below it, parents before their subkeys, each path with its long root
// name. A subkey that cannot be read is passed over; the first failure is returned.
platform::Status ReadTree(platform::Registry& reg, platform::HKey root, const std::string& path,
                          std::vector<regfile::RegKeyEntry>* out);

class Backup {
 public:
  // Whose an item is, as the notes tell the user: the hijacker's own, or an add-on removed only
  // because the name of its DLL holds the hijacker DLL's name.
  enum class Kind { Hijacker, NameMatch };
  enum class Found { Yes, No, Unknown };

  // programFolder: where the backup goes when it can; asked when the first item is saved.
  Backup(platform::Services& services, std::function<std::string()> programFolder)
      : sv_(services), programFolder_(std::move(programFolder)) {}

  // Each keeps the item before it is deleted and checks what it wrote. False when the item
  // exists but could not be kept in a form its Windows can restore; an item that is not there
  // has nothing to keep (true). item: the name of the item's own .reg file, without extension.
  bool SaveKey(platform::HKey root, const std::string& path, const std::string& item, Kind kind);
  bool SaveValue(platform::HKey root, const std::string& path, const std::string& valueName,
                 const std::string& item, Kind kind);
  bool SaveFile(const std::string& path, Kind kind);
  // What the run changes: into changed-reg.txt only. KeepKey marks the values whose data holds
  // hijackerText or reads as blanks (hidden while the DLL is loaded); KeepValue reads the value at
  // path and records it as living at recordAs.
  bool KeepKey(platform::HKey root, const std::string& path, const std::string& hijackerText);
  bool KeepValue(platform::HKey root, const std::string& path, const std::string& valueName,
                 const std::string& recordAs);

  // The disinfection is over: the next one gets a folder of its own.
  void Close();

  // The folder of this disinfection; empty until something was saved in this run.
  const std::string& Folder() const { return folder_; }

 private:
  bool EnsureFolder();
  // Whether an earlier start of this disinfection made a folder, found below parent.
  Found Reopen(const std::string& parent);
  Found ReopenAny();
  // Writes the notes into a new folder, or a line that a later start goes on.
  bool Prepare(const std::string& folder);
  // Whether the folder's list names this line already.
  bool Listed(const std::string& line);
  bool Create(const std::string& parent);
  void LoadIndex();
  // One value, read at path and recorded as living at recordAs, into target.
  bool SaveValueAs(platform::HKey root, const std::string& path, const std::string& valueName,
                   const std::string& recordAs, const std::string& target, const std::string& tag);
  bool Record(const regfile::RegFile& file, const std::string& target, const std::string& listing);
  // Appends regedit text to a .reg file, its header only into an empty file.
  bool AppendRegistry(const std::string& path, const std::string& regedit4);
  // Appends text and a line end, then reads the file back to see them there.
  bool AppendChecked(const std::string& path, const std::string& text);
  bool ReadAll(const std::string& path, std::string* bytes);
  bool Indexed(const std::string& path, const std::string* valueName) const;
  void Index(const regfile::RegFile& file);

  platform::Services& sv_;
  std::function<std::string()> programFolder_;
  std::string program_;  // its answer, once there is one
  std::string folder_;
  std::optional<Found> reopened_;
  bool createTried_ = false;
  std::set<std::string> fileNames_;  // copies made in this run, upper case
  std::set<std::string> saved_;      // keys and values in the folder's .reg files, folded
};

}  // namespace dravlin
