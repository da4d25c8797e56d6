// Internals of the simulated machine, shared by its source files only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sim/machine.h"

namespace dravlin::sim::detail {

// Upper-cases the letters of code page 1252, and of the European scripts among the characters
// it lacks (held, platform/ansi_names.h), as the registry and the file system compare names.
std::string Fold(std::string_view s);
bool SameName(std::string_view a, std::string_view b);
// Orders names as the subkey lists keep them (by their folded bytes), without folded copies.
int CompareFolded(std::string_view a, std::string_view b);
// The part of a C string argument that the C API sees.
std::string UpToNul(const std::string& s);
// The same without a copy when no NUL cuts it short: s itself, or `cut` holding the part.
const std::string& UpToNul(const std::string& s, std::string& cut);
// Appends the folded form of s.
void AppendFolded(std::string& out, std::string_view s);

// ----- registry

struct Key {
  std::string name;
  Key* parent = nullptr;                      // null for a root or a detached (deleted) key
  std::vector<std::shared_ptr<Key>> subkeys;  // sorted by folded name
  std::vector<NamedValue> values;             // in creation order
  bool deleted = false;
  // The rights the key's security grants the program's user (NT-based versions only).
  std::uint32_t allowed = platform::KEY_ALL_ACCESS;
  // A volatile key lives in memory only and is gone after the next restart.
  bool isVolatile = false;

  std::shared_ptr<Key> Find(std::string_view child) const;
  // The child's place in the list (null when missing): a lookup that only passes through it
  // shares nothing.
  const std::shared_ptr<Key>* Slot(std::string_view child) const;
  std::shared_ptr<Key> Add(std::string_view child);  // inserts in sorted place
  NamedValue* FindValue(std::string_view valueName);
  void MarkDeleted();        // this key and everything below it
  std::string Path() const;  // from its root, e.g. "SOFTWARE\Classes"; roots give ""
  bool IsRoot() const { return parent == nullptr && !deleted; }
};

class RegistryStore {
 public:
  RegistryStore();
  // A copy holds a tree of its own, key for key (a snapshot is taken and put back by copying).
  RegistryStore(const RegistryStore& other);
  RegistryStore& operator=(const RegistryStore& other) = delete;
  RegistryStore(RegistryStore&&) = default;
  RegistryStore& operator=(RegistryStore&&) = default;
  // The key of this store at the place `key` has in `other` (null when it is not in there).
  std::shared_ptr<Key> Counterpart(const RegistryStore& other, const Key& key);
  // HKCR resolves to HKLM\SOFTWARE\Classes (created when missing). Null for other values.
  std::shared_ptr<Key> Root(platform::HKey root);
  std::shared_ptr<Key> Lookup(platform::HKey root, std::string_view path);
  std::shared_ptr<Key> LookupFrom(const std::shared_ptr<Key>& from, std::string_view path);
  std::shared_ptr<Key> Create(platform::HKey root, const std::string& path);
  // Detaches a key (and its subtree) from its parent; false for a root.
  bool Detach(const std::shared_ptr<Key>& key);
  // Which root a key lives under (HKLM, HKCU or HKU); 0 when detached.
  platform::HKey RootOf(const Key& key) const;

 private:
  std::shared_ptr<Key> hklm_, hkcu_, hku_;
  // The last Create: its path, the root and the key of each part, where each part ends.
  std::string recentPath_;
  std::vector<std::shared_ptr<Key>> recent_;
  std::vector<std::size_t> recentEnds_;
};

std::vector<std::string> SplitPath(std::string_view path);  // empty components dropped

// ----- hive images

// Writes the key and everything below it as an image; wideStrings: string data as UTF-16LE,
// as NT-based Windows saves it.
std::string WriteHive(const Key& key, bool wideStrings = false);
// Parses an image into a detached key tree; nullopt for any malformed input.
std::optional<std::shared_ptr<Key>> ReadHive(std::string_view image);

// ----- drive C:

enum class PathError { None, NotOnDrive, BadName, PathMissing, FileMissing };

struct Resolved {
  PathError error = PathError::None;
  std::string host;         // of the item (valid also when only the last part is missing)
  std::size_t namesAt = 0;  // where the names below the drive's root begin in host
  // "C:\DIR\FILE" folded: the same for every spelling of the item, present or not.
  std::string Canonical() const;
  bool isFolder = false;
};

class Drive {
 public:
  // Drive C: on a host folder (created when missing).
  explicit Drive(std::filesystem::path root);
  // Drive C: held in memory: no host file is touched, and items are named by "host" paths
  // relative to an empty root.
  Drive();
  bool InMemory() const { return inMemory_; }
  const std::filesystem::path& Root() const { return root_; }
  // Resolves an absolute C: path, matching each part by long or short name, any case.
  Resolved Resolve(const std::string& winPath) const;
  // The 8.3 form of an existing item; nullopt when missing.
  std::optional<std::string> ShortPath(const std::string& winPath) const;
  std::string ShortNameIn(const std::string& folder, const std::string& longName) const;

  // Folder listings are read from the host once per call: the host folder may change between
  // calls (a test or the user arranges it).
  // Every creation or removal of an item on the host drops what was read of its folder.
  void Changed(const std::string& item) const {
    listings_.erase(std::string(Parent(item)));
    listings_.erase(item);
  }

  // The contents of items by host path. Creating or removing an item drops what was read of
  // its folder. Append: created marks an item the call makes (or makes again).
  std::optional<std::string> Read(const std::string& item) const;
  bool Write(const std::string& item, const std::string& bytes);  // creates or truncates
  // The ending follows the text in the same write (a line and its line break).
  bool Append(const std::string& item, std::string_view text, bool created,
              std::string_view ending = {});
  bool Remove(const std::string& item);  // a file or an empty folder
  bool MakeFolder(const std::string& item);
  std::optional<std::uint64_t> Size(const std::string& item) const;
  bool Exists(const std::string& item) const;
  std::vector<std::string> Files() const;  // host paths of all files below the root, relative

  std::uint32_t Attributes(const Resolved& r) const;
  void SetAttributes(const Resolved& r, std::uint32_t attributes);
  void Forget(const Resolved& r);     // a deleted item keeps no attributes or locks
  std::set<std::string> undeletable;  // canonical paths
  std::set<std::string> busy;         // canonical paths in use for this boot (loaded DLLs)
  bool Undeletable(const Resolved& r) const {
    return !undeletable.empty() && undeletable.count(r.Canonical()) != 0;
  }
  bool Busy(const Resolved& r) const { return !busy.empty() && busy.count(r.Canonical()) != 0; }
  // Folders on a medium that cannot be written (a CD, a read-only share), and folders whose
  // files another program (a virus scanner) takes away once they are written; canonical.
  std::set<std::string> readOnly, swept;
  static bool Below(const std::set<std::string>& folders, const Resolved& r) {
    if (folders.empty()) return false;
    const std::string item = r.Canonical();
    for (const std::string& folder : folders) {
      if (item.size() > folder.size() && item.compare(0, folder.size(), folder) == 0 &&
          item[folder.size()] == '\\')
        return true;
    }
    return false;
  }
  bool WriteProtected(const Resolved& r) const { return Below(readOnly, r); }
  // Takes the file away when it lies below a swept folder.
  void Sweep(const Resolved& r) {
    if (Below(swept, r) && Remove(r.host)) Forget(r);
  }
  std::string currentFolder = "C:\\";  // what relative paths start from

 private:
  struct Entry {
    std::string name;  // as Windows names it: ANSI bytes, held characters included
    bool folder = false;
    std::string host;  // the host's name when it differs (a host folder's UTF-8)
    const std::string& HostName() const { return host.empty() ? name : host; }
  };
  // A Windows name as the host folder spells it, and back; in memory they are the same.
  std::string ToHost(std::string_view name) const;
  std::string FromHost(std::string_view name) const;
  // Host paths are kept as text, parts joined by '/': every call resolves one or two.
  static std::string Join(const std::string& folder, std::string_view name);
  static std::string_view Parent(std::string_view item);
  const std::vector<Entry>& Listing(const std::string& folder) const;
  void StartCall() const { listings_.clear(); }
  Resolved ResolveKnown(const std::string& winPath) const;
  std::string ShortNameKnown(const std::string& folder, const std::string& longName) const;

  // In memory: folders by host path with their entries, files by host path with their bytes.
  std::vector<Entry>* MemoryFolder(std::string_view folder);
  bool MemoryAdd(const std::string& item, bool folder);

  std::filesystem::path root_;
  // Host path -> stored bits: only items that exist have attributes, and the host path of an
  // existing item is one spelling, its names as stored.
  std::map<std::string, std::uint32_t> attributes_;
  bool inMemory_ = false;
  std::string rootText_;
  mutable std::map<std::string, std::vector<Entry>, std::less<>> listings_;
  std::map<std::string, std::vector<Entry>, std::less<>> memoryFolders_;
  std::map<std::string, std::string, std::less<>> memoryFiles_;
};

// ----- the program's side

class Program;  // implements the platform interfaces; defined in program.h

// The pseudo-handles GetCurrentProcess and GetCurrentThread return.
inline constexpr platform::Handle kCurrentProcess = ~platform::Handle{0};     // (HANDLE)-1
inline constexpr platform::Handle kCurrentThread = ~platform::Handle{0} - 1;  // (HANDLE)-2
using platform::ERROR_INVALID_FLAGS;

// Copies text plus NUL when it fits a buffer of `size` characters.
bool CopyOut(const std::string& text, char* buffer, std::size_t size);

}  // namespace dravlin::sim::detail
