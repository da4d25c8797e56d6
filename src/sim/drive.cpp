// Drive C: on a host folder: Windows path rules (either slash, any case, "." and "..",
// trailing dots and blanks dropped), attributes the host cannot hold, and 8.3 short names.
#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/ansi_names.h"
#include "platform/kernel.h"
#include "sim/internal.h"

namespace dravlin::sim::detail {

namespace fs = std::filesystem;

namespace {

bool ValidChars(std::string_view part) {
  for (char c : part) {
    switch (c) {
      case '<':
      case '>':
      case ':':
      case '"':
      case '|':
      case '?':
      case '*':
      case '/':
      case '\\':
        return false;
      default:
        if (static_cast<unsigned char>(c) < 32) return false;
    }
  }
  return true;
}

bool Is83(const std::string& name) {
  const auto dot = name.find('.');
  const std::string base = name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  if (ext.find('.') != std::string::npos) return false;
  for (char c : name) {
    if (c == '.') continue;
    if (c == ' ' || std::string_view("+,;=[]").find(c) != std::string_view::npos) return false;
  }
  return true;
}

// The uppercase basis and extension a short name is built from.
std::pair<std::string, std::string> ShortBasis(const std::string& longName) {
  std::string name = longName;
  name.erase(0, name.find_first_not_of('.'));
  const auto dot = name.rfind('.');
  std::string base = dot == std::string::npos ? name : name.substr(0, dot);
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  auto clean = [](const std::string& s, std::size_t max) {
    std::string out;
    for (char c : s) {
      if (c == ' ' || c == '.') continue;
      if (std::string_view("+,;=[]").find(c) != std::string_view::npos) c = '_';
      out.push_back(c);
      if (out.size() == max) break;
    }
    return Fold(out);
  };
  base = clean(base, 6);
  ext = clean(ext, 3);
  if (base.empty()) base = "_";
  return {base, ext};
}

std::optional<std::string> ReadHostFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteHostFile(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace

Drive::Drive(fs::path root) : root_(std::move(root)) {
  std::error_code ec;
  fs::create_directories(root_, ec);
  if (!root_.has_filename() && root_.has_parent_path()) root_ = root_.parent_path();
  rootText_ = root_.native();
}

std::string Drive::Join(const std::string& folder, std::string_view name) {
  std::string out;
  out.reserve(folder.size() + 1 + name.size());
  out += folder;
  if (!folder.empty()) out += '/';
  out += name;
  return out;
}

std::string_view Drive::Parent(std::string_view item) {
  const auto slash = item.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : item.substr(0, slash);
}

Drive::Drive() : inMemory_(true) {
  memoryFolders_.emplace(std::string(), std::vector<Entry>{});
}

// The host names its files in UTF-8; Windows' ANSI calls name them in the code page.
std::string Drive::ToHost(std::string_view name) const {
  return inMemory_ ? std::string(name) : platform::AnsiToUtf8(name);
}

std::string Drive::FromHost(std::string_view name) const {
  return inMemory_ ? std::string(name) : platform::Utf8ToAnsi(name);
}

const std::vector<Drive::Entry>& Drive::Listing(const std::string& folder) const {
  if (inMemory_) {
    static const std::vector<Entry> none;
    const auto found = memoryFolders_.find(folder);
    return found != memoryFolders_.end() ? found->second : none;
  }
  const auto known = listings_.find(folder);
  if (known != listings_.end()) return known->second;
  std::vector<Entry> entries;
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(folder), ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code typeEc;
    std::string host = it->path().filename().string();
    std::string name = FromHost(host);
    if (name == host) host.clear();
    entries.push_back({std::move(name), it->is_directory(typeEc), std::move(host)});
  }
  return listings_.emplace(folder, std::move(entries)).first->second;
}

std::string Drive::ShortNameIn(const std::string& folder, const std::string& longName) const {
  StartCall();
  return ShortNameKnown(folder, longName);
}

std::string Drive::ShortNameKnown(const std::string& folder, const std::string& longName) const {
  if (Is83(longName)) return longName;
  const auto basis = ShortBasis(longName);
  std::vector<std::string> same;
  for (const auto& e : Listing(folder)) {
    if (!Is83(e.name) && ShortBasis(e.name) == basis) same.push_back(Fold(e.name));
  }
  std::sort(same.begin(), same.end());
  const auto pos = std::find(same.begin(), same.end(), Fold(longName));
  const std::size_t n = static_cast<std::size_t>(pos - same.begin()) + 1;
  const std::string tail = "~" + std::to_string(n);
  std::string out = basis.first.substr(0, std::min(basis.first.size(), 8 - tail.size())) + tail;
  if (!basis.second.empty()) out += "." + basis.second;
  return out;
}

std::string Resolved::Canonical() const {
  std::string out = "C:";
  const std::string_view names = std::string_view(host).substr(std::min(namesAt, host.size()));
  for (std::size_t start = 0; start < names.size();) {
    const std::size_t end = std::min(names.find('/', start), names.size());
    if (end > start) {
      out += '\\';
      AppendFolded(out, names.substr(start, end - start));
    }
    start = end + 1;
  }
  return out;
}

Resolved Drive::Resolve(const std::string& winPath) const {
  StartCall();
  return ResolveKnown(winPath);
}

Resolved Drive::ResolveKnown(const std::string& winPath) const {
  Resolved r;
  // The path as given is taken without a copy unless it must be rewritten.
  std::string cut;
  const std::string* given = &UpToNul(winPath, cut);
  std::string p;
  if (given->find('/') != std::string::npos) {
    p = *given;
    std::replace(p.begin(), p.end(), '/', '\\');
    given = &p;
  }
  // Relative to the current folder, or to its drive's root for a leading backslash.
  const std::string& g = *given;
  const bool hasDrive = g.size() >= 2 && g[1] == ':';
  if (!g.empty() && !hasDrive && g[0] != '\\') {
    p = currentFolder + "\\" + g;
    given = &p;
  } else if (g.size() >= 2 && !hasDrive && g[0] == '\\' && g[1] != '\\') {
    p = currentFolder.substr(0, 2) + g;
    given = &p;
  } else if (hasDrive && g.size() > 2 && g[2] != '\\' &&
             SameName(std::string_view(g).substr(0, 2),
                      std::string_view(currentFolder).substr(0, 2))) {
    p = currentFolder + "\\" + g.substr(2);
    given = &p;
  }
  const std::string& path = *given;
  if (path.size() < 2 || (path[0] != 'C' && path[0] != 'c') || path[1] != ':' ||
      (path.size() > 2 && path[2] != '\\')) {
    r.error = PathError::NotOnDrive;
    return r;
  }
  // Views into the path, which outlives them: no part is copied. Paths of up to 32 parts, as
  // nearly all are, need no list on the heap.
  const std::string_view all = std::string_view(path).substr(2);
  std::array<std::string_view, 32> few;
  std::vector<std::string_view> many;
  const auto count = static_cast<std::size_t>(std::count(all.begin(), all.end(), '\\')) + 1;
  if (count > few.size()) many.resize(count);
  std::string_view* parts = count > few.size() ? many.data() : few.data();
  std::size_t kept = 0;  // parts[0, kept) are the path so far
  for (std::size_t start = 0; start <= all.size();) {
    const std::size_t end = std::min(all.find('\\', start), all.size());
    std::string_view part = all.substr(start, end - start);
    start = end + 1;
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) {
      if (part == "." || part == "..") break;
      part.remove_suffix(1);
    }
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (kept > 0) --kept;
      continue;
    }
    if (!ValidChars(part)) {
      r.error = PathError::BadName;
      return r;
    }
    parts[kept++] = part;
  }
  // Room for the names as given (long names standing for short ones may need more).
  r.host.reserve(rootText_.size() + path.size());
  r.host = rootText_;
  r.namesAt = r.host.size();
  r.isFolder = true;
  for (std::size_t i = 0; i < kept; ++i) {
    const bool last = i + 1 == kept;
    const auto& names = Listing(r.host);
    const Entry* match = nullptr;
    for (const auto& n : names) {
      if (SameName(n.name, parts[i])) match = &n;
    }
    if (!match && parts[i].find('~') != std::string::npos) {
      for (const auto& n : names) {
        if (SameName(ShortNameKnown(r.host, n.name), parts[i])) match = &n;
      }
    }
    if (!r.host.empty()) r.host += '/';
    if (match) {
      r.host += match->HostName();
    } else {
      r.host += ToHost(parts[i]);
    }
    const bool isDir = match && match->folder;
    if (!match) {
      r.error = last ? PathError::FileMissing : PathError::PathMissing;
      r.isFolder = false;
      return r;
    }
    if (!last && !isDir) {
      r.error = PathError::PathMissing;
      return r;
    }
    r.isFolder = isDir;
  }
  return r;
}

std::optional<std::string> Drive::ShortPath(const std::string& winPath) const {
  StartCall();
  const Resolved r = ResolveKnown(winPath);
  if (r.error != PathError::None) return std::nullopt;
  std::string out = "C:";
  std::string folder = rootText_;
  // The names as stored, in their case: the host path below the root.
  std::string stored = r.host.substr(r.namesAt);
  std::replace(stored.begin(), stored.end(), '/', '\\');
  const auto hostParts = SplitPath(stored);
  std::vector<std::string> parts;
  parts.reserve(hostParts.size());
  for (const std::string& p : hostParts) parts.push_back(FromHost(p));
  // A part the caller already wrote in 8.3 form is copied as written (its case included).
  std::string given = UpToNul(winPath);
  std::replace(given.begin(), given.end(), '/', '\\');
  const auto givenParts =
      given.size() > 2 && given[1] == ':' ? SplitPath(given.substr(2)) : std::vector<std::string>{};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool asWritten = givenParts.size() == parts.size() && Is83(givenParts[i]);
    out += "\\" + (asWritten ? givenParts[i] : ShortNameKnown(folder, parts[i]));
    folder = Join(folder, hostParts[i]);
  }
  if (parts.empty()) out += "\\";
  return out;
}

std::vector<Drive::Entry>* Drive::MemoryFolder(std::string_view folder) {
  const auto found = memoryFolders_.find(folder);
  return found != memoryFolders_.end() ? &found->second : nullptr;
}

bool Drive::MemoryAdd(const std::string& item, bool folder) {
  auto* entries = MemoryFolder(Parent(item));
  if (entries == nullptr) return false;
  entries->push_back({item.substr(item.rfind('/') + 1), folder, {}});
  if (folder) memoryFolders_.emplace(item, std::vector<Entry>{});
  return true;
}

std::optional<std::string> Drive::Read(const std::string& item) const {
  if (!inMemory_) return ReadHostFile(item);
  const auto found = memoryFiles_.find(item);
  if (found == memoryFiles_.end()) return std::nullopt;
  return found->second;
}

bool Drive::Write(const std::string& item, const std::string& bytes) {
  if (!inMemory_) {
    const bool written = WriteHostFile(item, bytes);
    Changed(item);
    return written;
  }
  if (memoryFolders_.count(item)) return false;
  const auto found = memoryFiles_.find(item);
  if (found != memoryFiles_.end()) {
    found->second = bytes;
    return true;
  }
  if (!MemoryAdd(item, false)) return false;
  memoryFiles_.emplace(item, bytes);
  return true;
}

bool Drive::Append(const std::string& item, std::string_view text, bool created,
                   std::string_view ending) {
  if (!inMemory_) {
    std::ofstream out(fs::path(item), std::ios::binary | std::ios::app);
    if (created) Changed(item);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.write(ending.data(), static_cast<std::streamsize>(ending.size()));
    out.flush();
    return static_cast<bool>(out);
  }
  auto found = memoryFiles_.find(item);
  if (found == memoryFiles_.end()) {
    if (memoryFolders_.count(item) || !MemoryAdd(item, false)) return false;
    found = memoryFiles_.emplace(item, std::string()).first;
  }
  // Logs grow a line at a time: room for a few lines rather than growth by doubling.
  if (found->second.empty()) {
    found->second.reserve(std::max<std::size_t>(512, text.size() + ending.size()));
  }
  found->second.append(text).append(ending);
  return true;
}

bool Drive::Remove(const std::string& item) {
  if (!inMemory_) {
    std::error_code ec;
    const bool removed = fs::remove(fs::path(item), ec);
    Changed(item);
    return removed;
  }
  if (const auto folder = memoryFolders_.find(item); folder != memoryFolders_.end()) {
    if (!folder->second.empty() || item.empty()) return false;
    memoryFolders_.erase(folder);
  } else if (!memoryFiles_.erase(item)) {
    return false;
  }
  auto* entries = MemoryFolder(Parent(item));
  const std::string name = item.substr(item.rfind('/') + 1);
  entries->erase(std::remove_if(entries->begin(), entries->end(),
                                [&](const Entry& e) { return e.name == name; }),
                 entries->end());
  return true;
}

bool Drive::MakeFolder(const std::string& item) {
  if (!inMemory_) {
    std::error_code ec;
    const bool made = fs::create_directory(fs::path(item), ec);
    Changed(item);
    return made;
  }
  if (memoryFolders_.count(item) || memoryFiles_.count(item)) return false;
  return MemoryAdd(item, true);
}

bool Drive::Exists(const std::string& item) const {
  if (!inMemory_) {
    std::error_code ec;
    return fs::exists(fs::path(item), ec);
  }
  return memoryFiles_.count(item) > 0 || memoryFolders_.count(item) > 0;
}

std::optional<std::uint64_t> Drive::Size(const std::string& item) const {
  if (!inMemory_) {
    std::error_code ec;
    const auto size = fs::file_size(fs::path(item), ec);
    if (ec) return std::nullopt;
    return size;
  }
  const auto found = memoryFiles_.find(item);
  if (found == memoryFiles_.end()) return std::nullopt;
  return found->second.size();
}

std::vector<std::string> Drive::Files() const {
  std::vector<std::string> out;
  if (inMemory_) {
    for (const auto& [path, bytes] : memoryFiles_) out.push_back(path);
    return out;
  }
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file()) {
      out.push_back(FromHost(fs::relative(it->path(), root_, ec).generic_string()));
    }
  }
  return out;
}

std::uint32_t Drive::Attributes(const Resolved& r) const {
  auto it = attributes_.find(r.host);
  std::uint32_t bits = it != attributes_.end() ? it->second
                       : r.isFolder            ? 0
                                               : platform::FILE_ATTRIBUTE_ARCHIVE;
  if (r.isFolder) bits |= platform::FILE_ATTRIBUTE_DIRECTORY;
  return bits == 0 ? platform::FILE_ATTRIBUTE_NORMAL : bits;
}

void Drive::SetAttributes(const Resolved& r, std::uint32_t attributes) {
  // Read-only, hidden, system, archive, temporary, not indexed: what SetFileAttributes may set.
  attributes_[r.host] = attributes & 0x2127u;
}

void Drive::Forget(const Resolved& r) {
  attributes_.erase(r.host);
  if (undeletable.empty() && busy.empty()) return;
  const std::string canonical = r.Canonical();
  undeletable.erase(canonical);
  busy.erase(canonical);
}

}  // namespace dravlin::sim::detail
