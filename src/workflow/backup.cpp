// The backup of the second step: read through the platform, written as regedit files and
// renamed copies, each checked before the deletion goes ahead.
#include "workflow/backup.h"

#include <algorithm>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "platform/key.h"
#include "regfile/regfile.h"
#include "workflow/frmGetAll.h"
#include "workflow/runtime.h"

namespace dravlin {

using platform::HKey;
using platform::Status;

namespace {

constexpr std::string_view kRegHeader = "REGEDIT4\r\n\r\n";
// Two runs within one second (or a clock set back) get a folder each.
constexpr int kFolderAttempts = 9;

// UTF-8 source text to Windows-1252, the code page Notepad and regedit read these files in.
std::string ToAnsi(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80 || i + 1 >= utf8.size()) {
      out += static_cast<char>(b);
      continue;
    }
    const char32_t c =
        (static_cast<char32_t>(b & 0x1F) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3Fu);
    char byte = '?';
    (void)regfile::ToCp1252(c, &byte);
    out += byte;
  }
  return out;
}

// Said once at the top of restore.txt; the list of files follows line by line.
constexpr const char* kNotes =
    "Dravlin - Sicherung / backup\r\n"
    "\r\n"
    "Deutsch\r\n"
    "  Dieser Ordner enthält, was Dravlin bei der Desinfektion gelöscht hat.\r\n"
    "  removed.reg: die gelöschten Registrierungsschlüssel und -werte. Ein Doppelklick\r\n"
    "    darauf (oder \"regedit /s removed.reg\") trägt sie wieder ein.\r\n"
    "  *.removed: die gelöschten Dateien, umbenannt, damit Windows sie nicht lädt. Zum\r\n"
    "    Zurücklegen \".removed\" vom Namen entfernen und die Datei an den unten genannten\r\n"
    "    Ort kopieren.\r\n"
    "  Vorsicht: Hier liegt auch der Schädling selbst. Stellen Sie nur zurück, was\r\n"
    "  nachweislich zu einem anderen Programm gehört.\r\n"
    "\r\n"
    "English\r\n"
    "  This folder holds what Dravlin deleted while disinfecting.\r\n"
    "  removed.reg: the deleted registry keys and values. Double-click it (or run\r\n"
    "    \"regedit /s removed.reg\") to put them back.\r\n"
    "  *.removed: the deleted files, renamed so that Windows does not load them. To put one\r\n"
    "    back, remove \".removed\" from its name and copy it to the place listed below.\r\n"
    "  Caution: the hijacker itself is kept here too. Restore only what clearly belongs to\r\n"
    "  another program.\r\n"
    "\r\n"
    "Dateien / Files:";

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

bool Backup::EnsureFolder() {
  if (folder_.empty()) {
    platform::SystemTime now;
    sv_.regional.GetLocalTime(&now);
    // By hand: the Windows program would otherwise link the C runtime's printf engine for this.
    const auto digits = [](unsigned value, std::size_t width) {
      std::string text = std::to_string(value);
      return std::string(text.size() < width ? width - text.size() : 0, '0') + text;
    };
    const std::string stamp = digits(now.wYear, 4) + "-" + digits(now.wMonth, 2) + "-" +
                              digits(now.wDay, 2) + "-" + digits(now.wHour, 2) +
                              digits(now.wMinute, 2) + digits(now.wSecond, 2);
    const std::string base = folderParent_() + "\\dravlin-backup-" + stamp;
    for (int attempt = 1; attempt <= kFolderAttempts && folder_.empty(); ++attempt) {
      const std::string name = attempt == 1 ? base : base + "-" + std::to_string(attempt);
      if (sv_.kernel.CreateDirectoryA(name)) {
        folder_ = name;
      } else if (sv_.kernel.GetLastError() != platform::ERROR_ALREADY_EXISTS) {
        return false;
      }
    }
    if (folder_.empty()) return false;
  }
  if (!notesWritten_) notesWritten_ = AppendChecked(folder_ + "\\restore.txt", ToAnsi(kNotes));
  return notesWritten_;
}

bool Backup::AppendChecked(const std::string& path, const std::string& text) {
  std::int64_t before = 0;
  if (sv_.files.FileExists(path) && sv_.files.FileLen(path, &before) != platform::RT_OK)
    return false;
  const int number = sv_.files.FreeFile();
  if (sv_.files.OpenForAppend(number, path) != platform::RT_OK) return false;
  const bool written = sv_.files.PrintLine(number, text) == platform::RT_OK;
  const bool closed = sv_.files.Close(number) == platform::RT_OK;
  std::int64_t after = -1;
  return written && closed && sv_.files.FileLen(path, &after) == platform::RT_OK &&
         after == before + static_cast<std::int64_t>(text.size()) + 2;
}

bool Backup::AppendRegistry(const std::string& regedit4) {
  if (!EnsureFolder()) return false;
  const std::string path = folder_ + "\\removed.reg";
  // The header goes first into an empty file only. The writer ends every key with an empty
  // line; the line end of the last one is PrintLine's.
  std::string_view text = regedit4;
  std::int64_t length = 0;
  if (sv_.files.FileExists(path) && sv_.files.FileLen(path, &length) == platform::RT_OK &&
      length > 0)
    text.remove_prefix(kRegHeader.size());
  text.remove_suffix(2);
  return AppendChecked(path, std::string(text));
}

bool Backup::SaveKey(HKey root, const std::string& path) {
  regfile::RegFile file;
  const Status st = ReadTree(sv_.registry, root, path, &file.keys);
  if (file.keys.empty()) return st == platform::ERROR_FILE_NOT_FOUND;
  return AppendRegistry(regfile::WriteRegedit4(file)) && st == platform::ERROR_SUCCESS;
}

bool Backup::SaveValue(HKey root, const std::string& path, const std::string& valueName) {
  platform::UniqueKey key(sv_.registry);
  Status st = sv_.registry.RegOpenKeyExA(root, path, 0, platform::KEY_READ, key.put());
  if (st == platform::ERROR_FILE_NOT_FOUND) return true;
  if (st != platform::ERROR_SUCCESS) return false;
  std::uint32_t type = 0, size = 0;
  st = sv_.registry.RegQueryValueExA(key.get(), valueName, &type, nullptr, &size);
  if (st == platform::ERROR_FILE_NOT_FOUND) return true;
  if (st != platform::ERROR_SUCCESS) return false;
  std::vector<std::uint8_t> data(size + 1u);
  st = sv_.registry.RegQueryValueExA(key.get(), valueName, &type, data.data(), &size);
  if (st != platform::ERROR_SUCCESS) return false;
  (void)key.Close();
  regfile::RegFile file;
  file.keys.push_back({RegPath(root, path),
                       false,
                       {{rt::AnsiPath(valueName), type,
                         std::string(reinterpret_cast<const char*>(data.data()), size)}}});
  return AppendRegistry(regfile::WriteRegedit4(file));
}

bool Backup::SaveFile(const std::string& path) {
  if (!sv_.files.FileExists(path)) return true;
  std::int64_t size = -1;
  if (sv_.files.FileLen(path, &size) != platform::RT_OK || !EnsureFolder()) return false;
  const std::size_t slash = path.find_last_of("\\/:");
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // Files of one name from several folders are told apart by a number.
  std::string copy;
  for (int n = 1; copy.empty(); ++n) {
    if (n > 99) return false;
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
  // A hidden or read-only original would give a copy the user cannot see or rename.
  (void)sv_.kernel.SetFileAttributesA(target, platform::FILE_ATTRIBUTE_NORMAL);
  std::int64_t copied = -1;
  if (sv_.files.FileLen(target, &copied) != platform::RT_OK || copied != size) return false;
  return AppendChecked(folder_ + "\\restore.txt", "  " + copy + "  ->  " + path);
}

// ----- the window's side: one line before each deletion, one log line when the backup failed

namespace {

// The backup must never stop a deletion the user asked for; a program crash is no failure.
template <typename Save>
bool Kept(Save save) {
  try {
    return save();
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

void frmGetAll::BackUpKey(HKey root, const std::string& path) {
  if (!Kept([&] { return backup_.SaveKey(root, path); }))
    Log(" Error while backing up: " + ShortRoot(root) + "\\" + path);
}

void frmGetAll::BackUpValue(HKey root, const std::string& path, const std::string& valueName) {
  if (!Kept([&] { return backup_.SaveValue(root, path, valueName); }))
    Log(" Error while backing up: " + ShortRoot(root) + "\\" + path + ", " + valueName);
}

void frmGetAll::BackUpFile(const std::string& path) {
  if (!Kept([&] { return backup_.SaveFile(path); })) Log(" Error while backing up: " + path);
}

}  // namespace dravlin
