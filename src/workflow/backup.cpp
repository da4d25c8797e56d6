// The backup of the second step: read through the platform, written as regedit files and
// renamed copies, each read back before the deletion goes ahead.
#include "workflow/backup.h"

#include <algorithm>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ansi_names.h"
#include "platform/key.h"
#include "regfile/regfile.h"
#include "workflow/frmGetAll.h"
#include "workflow/names.h"
#include "workflow/runtime.h"
#include "workflow/texts.h"

namespace dravlin {

using platform::HKey;
using platform::Status;

namespace {

constexpr std::string_view kRegHeader = "REGEDIT4\r\n\r\n";

// UTF-8 source text to Windows-1252, the code page Notepad and regedit read these files in.
std::string ToAnsi(std::string_view utf8) {
  return platform::Utf8ToAnsi(utf8);
}

// Said once at the top of restore.txt; every item follows, as it is saved.
constexpr const char* kNotes =
    "Dravlin - Sicherung / backup\r\n"
    "\r\n"
    "Deutsch\r\n"
    "  Dieser Ordner enthält, was Dravlin bei der Desinfektion gelöscht oder\r\n"
    "  geändert hat. Konnte der Ordner des Programms nicht beschrieben werden,\r\n"
    "  liegt die Sicherung in C:\\Dravlin-Backup.\r\n"
    "\r\n"
    "  Jeder Eintrag unten ist gekennzeichnet:\r\n"
    "    [Schädling]             gehört zum Schädling. Nicht zurücklegen.\r\n"
    "    [nur Namensgleichheit]  ein Add-on, das nur entfernt wurde, weil der\r\n"
    "                            Name seiner DLL den der Schädlings-DLL enthält.\r\n"
    "                            Es kann ein Programm sein, das Sie benutzen.\r\n"
    "    [geändert]              eine Einstellung, die geändert, nicht\r\n"
    "                            gelöscht wurde.\r\n"
    "\r\n"
    "  Ein Add-on zurücklegen: seine eigene Datei BHO-{...}.reg doppelklicken\r\n"
    "  und bestätigen; dann jede seiner Dateien (.removed) in den Ordner\r\n"
    "  kopieren, der nach \"zurück als\" steht, und ihr genau den Namen geben,\r\n"
    "  der dort steht (auch nummerierten Kopien wie NAME.DLL.2.removed).\r\n"
    "\r\n"
    "  removed.reg enthält alle gelöschten Schlüssel und Werte auf einmal.\r\n"
    "  Importiert bringt sie auch das Add-on und die Startseite des\r\n"
    "  Schädlings zurück: nur verwenden, um alles rückgängig zu machen.\r\n"
    "\r\n"
    "  changed-reg.txt ist nicht zum Importieren: Es hält den alten Inhalt der\r\n"
    "  geänderten Einstellungen fest (auch den Eintrag, der den Schädling\r\n"
    "  geladen hat). Importiert würde er den PC wieder infizieren. Mit dem\r\n"
    "  Editor öffnen, um einen alten Wert nachzulesen.\r\n"
    "\r\n"
    "  Attribute: R schreibgeschützt, H versteckt, S System, A Archiv.\r\n"
    "\r\n"
    "English\r\n"
    "  This folder holds what Dravlin deleted or changed while disinfecting\r\n"
    "  this PC. If the program's own folder could not be written, the backup\r\n"
    "  is in C:\\Dravlin-Backup instead.\r\n"
    "\r\n"
    "  Every entry below is marked:\r\n"
    "    [hijacker]              belongs to the hijacker. Do not put it back.\r\n"
    "    [name match only]       an add-on removed only because the name of its\r\n"
    "                            DLL contains the hijacker DLL's name. It may be\r\n"
    "                            a program you use.\r\n"
    "    [changed]               a setting that was changed, not deleted.\r\n"
    "\r\n"
    "  To put back one add-on: double-click its own file BHO-{...}.reg and\r\n"
    "  confirm; then copy each of its files (.removed) to the folder shown\r\n"
    "  after \"back as\" and give it exactly the name shown there (numbered\r\n"
    "  copies such as NAME.DLL.2.removed too).\r\n"
    "\r\n"
    "  removed.reg holds every deleted key and value at once. Importing it\r\n"
    "  also brings the hijacker's add-on and start page back: use it only to\r\n"
    "  undo everything.\r\n"
    "\r\n"
    "  changed-reg.txt is not for importing: it records the old contents of\r\n"
    "  the settings that were changed (the entry that loaded the hijacker\r\n"
    "  among them). Importing it would infect the PC again. Open it in\r\n"
    "  Notepad to read an old value.\r\n"
    "\r\n"
    "  Attributes: R read-only, H hidden, S system, A archive.\r\n"
    "\r\n"
    "Gesichert / saved:";

constexpr const char* kRemoved = "removed.reg";
constexpr const char* kChanged = "changed-reg.txt";
constexpr const char* kNotesFile = "restore.txt";
// Beside the backup folders while a disinfection is under way: the folder it uses.
constexpr const char* kOpenFolderFile = "dravlin-backup.txt";
// Where the backup goes when the program's folder cannot take it (a CD, a read-only share).
constexpr const char* kFallbackParent = "C:\\Dravlin-Backup";

std::string Upper(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string ShortRoot(HKey root) {
  switch (root) {
    case platform::HKEY_CLASSES_ROOT:
      return "HKCR";
    case platform::HKEY_CURRENT_USER:
      return "HKCU";
    case platform::HKEY_LOCAL_MACHINE:
      return "HKLM";
    default:
      return "HKU";
  }
}

std::string RegPath(HKey root, const std::string& path) {
  std::string out(regfile::RootName(root));
  if (!path.empty()) out.append("\\").append(path);
  return out;
}

std::string KindTag(Backup::Kind kind) {
  return ToAnsi(kind == Backup::Kind::Hijacker ? "[Schädling / hijacker]"
                                               : "[nur Namensgleichheit / name match only]");
}

// A line of the list in restore.txt that names a key, or a value of it.
std::string KeyLine(const std::string& regPath) {
  return "      [" + regPath + "]";
}
std::string ValueLine(const std::string& regPath, const std::string& name) {
  return KeyLine(regPath) + " \"" + name + "\"";
}

// Characters Windows refuses in file names become "_".
std::string FileNameOf(const std::string& item) {
  std::string out = item;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 ||
        std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos)
      c = '_';
  }
  return out + ".reg";
}

std::string AttributeLetters(std::uint32_t attributes) {
  std::string out;
  const std::pair<std::uint32_t, const char*> kLetters[] = {
      {platform::FILE_ATTRIBUTE_READONLY, "R"},
      {platform::FILE_ATTRIBUTE_HIDDEN, "H"},
      {platform::FILE_ATTRIBUTE_SYSTEM, "S"},
      {platform::FILE_ATTRIBUTE_ARCHIVE, "A"}};
  for (const auto& [bit, letter] : kLetters) {
    if ((attributes & bit) == 0) continue;
    if (!out.empty()) out += ' ';
    out += letter;
  }
  return out.empty() ? "-" : out;
}

std::string Stamp(platform::Regional& regional, bool forName) {
  platform::SystemTime now;
  regional.GetLocalTime(&now);
  // By hand: the Windows program would otherwise link the C runtime's printf engine for this.
  const auto digits = [](unsigned value, std::size_t width) {
    std::string text = std::to_string(value);
    return std::string(text.size() < width ? width - text.size() : 0, '0') + text;
  };
  const std::string date =
      digits(now.wYear, 4) + "-" + digits(now.wMonth, 2) + "-" + digits(now.wDay, 2);
  return forName
             ? date + "-" + digits(now.wHour, 2) + digits(now.wMinute, 2) + digits(now.wSecond, 2)
             : date + " " + digits(now.wHour, 2) + ":" + digits(now.wMinute, 2) + ":" +
                   digits(now.wSecond, 2);
}

// Every value of an open key, with the bytes as stored.
Status ReadValues(platform::Registry& reg, HKey key, std::vector<regfile::RegValueEntry>* out) {
  std::uint32_t maxName = 0, maxData = 0;
  if (Status st = reg.RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &maxName, &maxData))
    return st;
  std::vector<char> name(maxName + 1u);
  std::vector<std::uint8_t> data(maxData + 1u);
  for (std::uint32_t index = 0, retries = 0;;) {
    auto nameLength = static_cast<std::uint32_t>(name.size());
    auto size = static_cast<std::uint32_t>(data.size());
    std::uint32_t type = 0;
    const Status st =
        reg.RegEnumValueA(key, index, name.data(), &nameLength, &type, data.data(), &size);
    if (st == platform::ERROR_NO_MORE_ITEMS) return platform::ERROR_SUCCESS;
    if (st == platform::ERROR_MORE_DATA && ++retries <= 8) {
      // Grown since the key was measured: the same value again, with room to spare.
      name.resize(name.size() * 2);
      data.resize(std::max<std::size_t>(data.size() * 2, std::size_t{size} + 1));
      continue;
    }
    if (st != platform::ERROR_SUCCESS) return st;
    out->push_back({std::string(name.data(), nameLength), type,
                    std::string(reinterpret_cast<const char*>(data.data()), size)});
    ++index;
    retries = 0;
  }
}

}  // namespace

// The key and everything below it, parents before their subkeys. A subkey that cannot be read
// is passed over, so that the rest is kept all the same; the first failure is returned.
Status ReadTree(platform::Registry& reg, HKey root, const std::string& path,
                std::vector<regfile::RegKeyEntry>* out) {
  platform::UniqueKey key(reg);
  if (Status st = reg.RegOpenKeyExA(root, path, 0, platform::KEY_READ, key.put())) return st;
  regfile::RegKeyEntry entry;
  entry.path = RegPath(root, path);
  if (Status st = ReadValues(reg, key.get(), &entry.values)) return st;
  out->push_back(std::move(entry));

  std::uint32_t maxSub = 0;
  if (Status st = reg.RegQueryInfoKeyA(key.get(), nullptr, &maxSub, nullptr, nullptr, nullptr))
    return st;
  std::vector<std::string> subkeys;
  std::vector<char> name(maxSub + 1u);
  for (std::uint32_t index = 0;;) {
    auto length = static_cast<std::uint32_t>(name.size());
    const Status st = reg.RegEnumKeyExA(key.get(), index, name.data(), &length);
    if (st == platform::ERROR_NO_MORE_ITEMS) break;
    if (st == platform::ERROR_MORE_DATA && name.size() < 1024) {
      name.resize(name.size() * 2);
      continue;
    }
    if (st != platform::ERROR_SUCCESS) return st;
    subkeys.emplace_back(name.data(), length);
    ++index;
  }
  (void)key.Close();
  Status first = platform::ERROR_SUCCESS;
  for (const std::string& sub : subkeys) {
    const Status st = ReadTree(reg, root, path.empty() ? sub : path + "\\" + sub, out);
    if (first == platform::ERROR_SUCCESS) first = st;
  }
  return first;
}

namespace {

// "No such file" is an answer; any other failure of the question is not.
Backup::Found Absent(platform::Status why) {
  return why == platform::ERROR_FILE_NOT_FOUND || why == platform::ERROR_PATH_NOT_FOUND
             ? Backup::Found::No
             : Backup::Found::Unknown;
}

}  // namespace

bool Backup::ReadAll(const std::string& path, std::string* bytes) {
  std::int64_t length = -1;
  if (sv_.files.FileLen(path, &length) != platform::RT_OK || length < 0) return false;
  const int number = sv_.files.FreeFile();
  if (sv_.files.OpenForBinaryRead(number, path) != platform::RT_OK) return false;
  std::string buffer(static_cast<std::size_t>(length), '\0');
  const bool read = sv_.files.Get(number, &buffer) == platform::RT_OK;
  const bool closed = sv_.files.Close(number) == platform::RT_OK;
  if (!read || !closed) return false;
  *bytes = std::move(buffer);
  return true;
}

bool Backup::AppendChecked(const std::string& path, const std::string& text) {
  std::string before;
  if (sv_.files.FileExists(path) && !ReadAll(path, &before)) return false;
  const int number = sv_.files.FreeFile();
  if (sv_.files.OpenForAppend(number, path) != platform::RT_OK) return false;
  const bool written = sv_.files.PrintLine(number, text) == platform::RT_OK;
  const bool closed = sv_.files.Close(number) == platform::RT_OK;
  std::string after;
  return written && closed && ReadAll(path, &after) && after == before + text + "\r\n";
}

bool Backup::AppendRegistry(const std::string& path, const std::string& regedit4) {
  // The header goes first into an empty file only. The writer ends every key with an empty
  // line; the line end of the last one is PrintLine's.
  std::string_view text = regedit4;
  std::int64_t length = 0;
  // A header in the middle would make regedit refuse the whole file: the length must be known.
  if (sv_.kernel.GetFileAttributesA(path) != platform::INVALID_FILE_ATTRIBUTES) {
    if (sv_.files.FileLen(path, &length) != platform::RT_OK) return false;
  } else if (Absent(sv_.kernel.GetLastError()) != Found::No) {
    return false;
  }
  if (length > 0) text.remove_prefix(kRegHeader.size());
  text.remove_suffix(2);
  return AppendChecked(path, std::string(text));
}

bool Backup::Prepare(const std::string& folder) {
  const std::string notes = folder + "\\" + kNotesFile;
  if (!sv_.files.FileExists(notes)) return AppendChecked(notes, ToAnsi(kNotes));
  // Also the test that the folder can still be written.
  return AppendChecked(notes, ToAnsi("Fortgesetzt / continued: ") + Stamp(sv_.regional, false));
}

Backup::Found Backup::Reopen(const std::string& parent) {
  const std::string pointer = parent + "\\" + kOpenFolderFile;
  if (sv_.kernel.GetFileAttributesA(pointer) == platform::INVALID_FILE_ATTRIBUTES)
    return Absent(sv_.kernel.GetLastError());
  std::string named;
  if (!ReadAll(pointer, &named)) return Found::Unknown;
  named = named.substr(0, named.find_first_of("\r\n"));
  if (named.empty()) return Found::No;
  // A folder never made (a start cut short right after naming it) or removed by the user holds
  // nothing to go on with.
  const std::uint32_t attributes = sv_.kernel.GetFileAttributesA(named);
  if (attributes == platform::INVALID_FILE_ATTRIBUTES) return Absent(sv_.kernel.GetLastError());
  if ((attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0) return Found::No;
  if (!Prepare(named)) return Found::Unknown;
  folder_ = named;
  LoadIndex();
  return Found::Yes;
}

Backup::Found Backup::ReopenAny() {
  if (reopened_) return *reopened_;
  // Asked once: a second answer could name another place for the same backup.
  if (program_.empty()) program_ = programFolder_();
  if (program_.empty()) return Found::Unknown;
  Found found = Reopen(program_);
  if (found == Found::No) found = Reopen(kFallbackParent);
  // Only an answer is kept; a failed question is asked again at the next item.
  if (found != Found::Unknown) reopened_ = found;
  return found;
}

bool Backup::Create(const std::string& parent) {
  const std::string base = parent + "\\dravlin-backup-" + Stamp(sv_.regional, true);
  std::string name;
  // Two runs within one second, or a clock set back, find the name taken: the next number is
  // tried, as long as names are taken, so that no scheme runs out.
  for (int attempt = 1; name.empty(); ++attempt) {
    const std::string candidate = attempt == 1 ? base : base + "-" + std::to_string(attempt);
    if (sv_.kernel.GetFileAttributesA(candidate) == platform::INVALID_FILE_ATTRIBUTES)
      name = candidate;
  }
  // The folder is named before it is made: a start cut short in between finds no folder and
  // makes its own, and no folder is ever made that a later start would not find.
  const std::string pointer = parent + "\\" + kOpenFolderFile;
  const bool named =
      (!sv_.files.FileExists(pointer) || sv_.files.Kill(pointer) == platform::RT_OK) &&
      AppendChecked(pointer, name);
  if (named && sv_.kernel.CreateDirectoryA(name) && Prepare(name)) {
    folder_ = name;
    return true;
  }
  // A later start must not take this folder for the one that holds the backup.
  if (sv_.files.FileExists(pointer)) (void)sv_.files.Kill(pointer);
  return false;
}

bool Backup::Listed(const std::string& line) {
  // An earlier start of this disinfection may have kept it already, before a run cut short
  // changed it: what it kept is the original.
  if (folder_.empty()) (void)ReopenAny();
  return saved_.count(Upper(line)) != 0;
}

bool Backup::EnsureFolder() {
  if (!folder_.empty()) return true;
  const Found found = ReopenAny();
  // Without knowing whether this disinfection has a folder, a new one could split it.
  if (found != Found::No) return found == Found::Yes;
  // Tried once a run: a place that failed would otherwise get a new empty folder per item.
  if (createTried_) return false;
  createTried_ = true;
  if (Create(program_)) return true;
  (void)sv_.kernel.CreateDirectoryA(kFallbackParent);
  return Create(kFallbackParent);
}

void Backup::Close() {
  if (program_.empty()) program_ = programFolder_();
  for (const std::string& parent : {program_, std::string(kFallbackParent)}) {
    if (parent.empty()) continue;
    const std::string pointer = parent + "\\" + kOpenFolderFile;
    if (sv_.files.FileExists(pointer)) (void)sv_.files.Kill(pointer);
  }
}

void Backup::LoadIndex() {
  // The list in restore.txt names every key and value kept so far: a later start keeps what
  // was kept before, not what a run cut short left of it.
  std::string notes;
  if (!ReadAll(folder_ + "\\" + kNotesFile, &notes)) return;
  for (std::size_t start = 0; start < notes.size();) {
    const std::size_t end = std::min(notes.find("\r\n", start), notes.size());
    saved_.insert(Upper(notes.substr(start, end - start)));
    start = end + 2;
  }
}

bool Backup::Record(const regfile::RegFile& file, const std::string& target,
                    const std::string& listing) {
  std::string text;
  try {
    // Throws for what a .reg file cannot carry, such as a name with a line break: such an item
    // has no form its Windows can restore.
    text = regfile::WriteRegedit4(file);
  } catch (const std::exception&) {
    return false;
  }
  if (!EnsureFolder()) return false;
  // The list in restore.txt goes last: it is what a later start takes as kept.
  if (target != kChanged && !AppendRegistry(folder_ + "\\" + target, text)) return false;
  if (!AppendRegistry(folder_ + "\\" + (target == kChanged ? kChanged : kRemoved), text))
    return false;
  if (!AppendChecked(folder_ + "\\" + kNotesFile, listing)) return false;
  for (std::size_t start = 0; start < listing.size();) {
    const std::size_t end = std::min(listing.find("\r\n", start), listing.size());
    saved_.insert(Upper(listing.substr(start, end - start)));
    start = end + 2;
  }
  return true;
}

bool Backup::SaveKey(HKey root, const std::string& path, const std::string& item, Kind kind) {
  const std::string line = KeyLine(RegPath(root, path));
  if (Listed(line)) return true;
  regfile::RegFile file;
  const Status st = ReadTree(sv_.registry, root, path, &file.keys);
  if (file.keys.empty()) return st == platform::ERROR_FILE_NOT_FOUND;
  if (st != platform::ERROR_SUCCESS) return false;
  const std::string target = FileNameOf(item);
  return Record(file, target, "  " + target + "   " + KindTag(kind) + "\r\n" + line);
}

namespace {

// One value as stored; false when it is there but could not be read, found tells whether
// it is there at all.
bool ReadValue(platform::Registry& reg, HKey root, const std::string& path,
               const std::string& valueName, regfile::RegValueEntry* out, bool* found) {
  *found = false;
  platform::UniqueKey key(reg);
  Status st = reg.RegOpenKeyExA(root, path, 0, platform::KEY_READ, key.put());
  if (st == platform::ERROR_FILE_NOT_FOUND) return true;
  if (st != platform::ERROR_SUCCESS) return false;
  std::uint32_t type = 0, size = 0;
  st = reg.RegQueryValueExA(key.get(), valueName, &type, nullptr, &size);
  if (st == platform::ERROR_FILE_NOT_FOUND) return true;
  if (st != platform::ERROR_SUCCESS) return false;
  std::vector<std::uint8_t> data(size + 1u);
  st = reg.RegQueryValueExA(key.get(), valueName, &type, data.data(), &size);
  if (st != platform::ERROR_SUCCESS) return false;
  *out = {rt::AnsiPath(valueName), type,
          std::string(reinterpret_cast<const char*>(data.data()), size)};
  *found = true;
  return true;
}

}  // namespace

bool Backup::SaveValueAs(HKey root, const std::string& path, const std::string& valueName,
                         const std::string& recordAs, const std::string& target,
                         const std::string& tag) {
  const std::string line = ValueLine(RegPath(root, recordAs), rt::AnsiPath(valueName));
  if (Listed(line)) return true;
  regfile::RegValueEntry value;
  bool found = false;
  if (!ReadValue(sv_.registry, root, path, valueName, &value, &found)) return false;
  if (!found) return true;
  regfile::RegFile file;
  file.keys.push_back({RegPath(root, recordAs), false, {std::move(value)}});
  return Record(file, target, "  " + target + "   " + tag + "\r\n" + line);
}

bool Backup::SaveValue(HKey root, const std::string& path, const std::string& valueName,
                       const std::string& item, Kind kind) {
  return SaveValueAs(root, path, valueName, path, FileNameOf(item), KindTag(kind));
}

bool Backup::KeepValue(HKey root, const std::string& path, const std::string& valueName,
                       const std::string& recordAs) {
  return SaveValueAs(root, path, valueName, recordAs, kChanged, ToAnsi("[geändert / changed]"));
}

bool Backup::KeepKey(HKey root, const std::string& path, const std::string& hijackerText) {
  regfile::RegFile file;
  const Status st = ReadTree(sv_.registry, root, path, &file.keys);
  if (file.keys.empty()) return st == platform::ERROR_FILE_NOT_FOUND;
  if (st != platform::ERROR_SUCCESS) return false;
  std::string listing = std::string("  ") + kChanged + "   " + ToAnsi("[geändert / changed]") +
                        "\r\n" + KeyLine(file.keys.front().path);
  const std::string needle = Upper(hijackerText);
  for (const regfile::RegValueEntry& value : file.keys.front().values) {
    // The hijacker's own entry names its DLL, or reads as blanks while the DLL is loaded.
    const bool hidden = !value.data.empty() && value.data.find_first_not_of(
                                                   std::string_view("\0 ", 2)) == std::string::npos;
    if (!hidden && (needle.empty() || Upper(value.data).find(needle) == std::string::npos))
      continue;
    listing += "\r\n        \"" + value.name + "\"   " + KindTag(Kind::Hijacker);
  }
  return Record(file, kChanged, listing);
}

bool Backup::SaveFile(const std::string& path, Kind kind) {
  // Only "no such file" means nothing to keep; a question that failed is no answer.
  const std::uint32_t attributes = sv_.kernel.GetFileAttributesA(path);
  if (attributes == platform::INVALID_FILE_ATTRIBUTES) {
    const platform::Status why = sv_.kernel.GetLastError();
    return why == platform::ERROR_FILE_NOT_FOUND || why == platform::ERROR_PATH_NOT_FOUND;
  }
  // A folder is no file: DeleteFileA does not remove it, so there is nothing to keep.
  if ((attributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
  std::string original;
  if (!ReadAll(path, &original) || !EnsureFolder()) return false;
  const std::size_t slash = path.find_last_of("\\/:");
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // Files of one name from several folders, or from several starts, are told apart by a
  // number; restore.txt gives the name each one goes back under.
  std::string copy;
  for (int n = 1; copy.empty(); ++n) {
    const std::string candidate =
        n == 1 ? name + ".removed" : name + "." + std::to_string(n) + ".removed";
    if (fileNames_.count(Upper(candidate)) != 0) continue;
    if (sv_.kernel.CopyFileA(path, folder_ + "\\" + candidate, true)) {
      copy = candidate;
    } else if (sv_.kernel.GetLastError() != platform::ERROR_FILE_EXISTS) {
      return false;
    }
  }
  fileNames_.insert(Upper(copy));
  const std::string target = folder_ + "\\" + copy;
  // A hidden or read-only original would give a copy the user cannot see or rename; what it
  // had is written down instead.
  (void)sv_.kernel.SetFileAttributesA(target, platform::FILE_ATTRIBUTE_NORMAL);
  std::string copied;
  if (!ReadAll(target, &copied) || copied != original) return false;
  return AppendChecked(folder_ + "\\" + kNotesFile,
                       "  " + copy + "   " + KindTag(kind) + "\r\n" +
                           ToAnsi("      zurück als / back as: ") + path + "\r\n" +
                           "      Attribute / attributes: " + AttributeLetters(attributes));
}

// ----- the window's side: the backup's folder once in the log, one line for each failure

namespace {

// A failure inside the backup is a failed backup, never a stopped run.
template <typename Save>
bool Kept(Save save) {
  try {
    return save();
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

bool frmGetAll::Noted(bool kept, const std::string& item) {
  if (!kept) Log(" Error while backing up: " + item);
  if (!backupLogged_ && !backup_.Folder().empty()) {
    backupLogged_ = true;
    Log(texts::BackupLogLine(German(), backup_.Folder()));
  }
  return kept;
}

bool frmGetAll::BackUpKey(HKey root, const std::string& path, const std::string& item,
                          Backup::Kind kind) {
  return Noted(Kept([&] { return backup_.SaveKey(root, path, item, kind); }),
               ShortRoot(root) + "\\" + path);
}

bool frmGetAll::BackUpValue(HKey root, const std::string& path, const std::string& valueName,
                            const std::string& item) {
  return Noted(
      Kept([&] { return backup_.SaveValue(root, path, valueName, item, Backup::Kind::Hijacker); }),
      ShortRoot(root) + "\\" + path + ", " + valueName);
}

bool frmGetAll::BackUpFile(const std::string& path, Backup::Kind kind) {
  return Noted(Kept([&] { return backup_.SaveFile(path, kind); }), path);
}

bool frmGetAll::KeepChangedKey(HKey root, const std::string& path, const std::string& hijacker) {
  return Noted(Kept([&] { return backup_.KeepKey(root, path, hijacker); }),
               ShortRoot(root) + "\\" + path);
}

bool frmGetAll::KeepChangedValue(HKey root, const std::string& path, const std::string& valueName,
                                 const std::string& recordAs) {
  return Noted(Kept([&] { return backup_.KeepValue(root, path, valueName, recordAs); }),
               ShortRoot(root) + "\\" + path + ", " + valueName);
}

void frmGetAll::CloseBackupWhenDone() {
  // The record of an unfinished disinfection is the parked key, or the key file while the
  // service key is away (beside the service key it is only the first step's scratch): while
  // there is one, the next start goes on with this backup.
  if (reg_.RegKeyExists(platform::HKEY_LOCAL_MACHINE, names::kParkedKey) ||
      (sv_.files.FileExists(names::kKeyFile) &&
       !reg_.RegKeyExists(platform::HKEY_LOCAL_MACHINE, names::kServiceKey)))
    return;
  Kept([&] {
    backup_.Close();
    return true;
  });
}

}  // namespace dravlin
