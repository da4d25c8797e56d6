// Drive C: of the machine, direct access for tests and set-up (uncounted, never faulted).
#include <algorithm>
#include <system_error>

#include "sim/program.h"

namespace dravlin::sim {

namespace fs = std::filesystem;

const fs::path& Machine::DriveRoot() const {
  return impl_->drive.Root();
}

std::optional<fs::path> Machine::HostPath(const std::string& winPath) const {
  const auto r = impl_->drive.Resolve(winPath);
  if (r.error != detail::PathError::None || impl_->drive.InMemory()) return std::nullopt;
  return r.host;
}

bool Machine::WriteFile(const std::string& winPath, const std::string& bytes) {
  auto r = impl_->drive.Resolve(winPath);
  if (r.error == detail::PathError::PathMissing) {
    // Create the missing folders, then resolve again.
    const auto cut = winPath.find_last_of("\\/");
    if (cut == std::string::npos || !CreateFolder(winPath.substr(0, cut))) return false;
    r = impl_->drive.Resolve(winPath);
  }
  if ((r.error != detail::PathError::None && r.error != detail::PathError::FileMissing) ||
      (r.error == detail::PathError::None && r.isFolder))
    return false;
  return impl_->drive.Write(r.host, bytes);
}

std::optional<std::string> Machine::ReadFile(const std::string& winPath) const {
  const auto r = impl_->drive.Resolve(winPath);
  if (r.error != detail::PathError::None || r.isFolder) return std::nullopt;
  return impl_->drive.Read(r.host);
}

bool Machine::CreateFolder(const std::string& winPath) {
  const auto r = impl_->drive.Resolve(winPath);
  if (r.error == detail::PathError::None) return r.isFolder;
  if (r.error == detail::PathError::PathMissing) {
    const auto cut = winPath.find_last_of("\\/");
    if (cut == std::string::npos || !CreateFolder(winPath.substr(0, cut))) return false;
    return CreateFolder(winPath);
  }
  if (r.error != detail::PathError::FileMissing) return false;
  return impl_->drive.MakeFolder(r.host);
}

bool Machine::FileExists(const std::string& winPath) const {
  const auto r = impl_->drive.Resolve(winPath);
  return r.error == detail::PathError::None && !r.isFolder;
}
bool Machine::FolderExists(const std::string& winPath) const {
  const auto r = impl_->drive.Resolve(winPath);
  return r.error == detail::PathError::None && r.isFolder;
}
bool Machine::RemoveFile(const std::string& winPath) {
  const auto r = impl_->drive.Resolve(winPath);
  if (r.error != detail::PathError::None || r.isFolder) return false;
  if (!impl_->drive.Remove(r.host)) return false;
  impl_->drive.Forget(r);
  return true;
}
std::uint32_t Machine::FileAttributes(const std::string& winPath) const {
  const auto r = impl_->drive.Resolve(winPath);
  if (r.error != detail::PathError::None) return platform::INVALID_FILE_ATTRIBUTES;
  return impl_->drive.Attributes(r);
}
bool Machine::SetFileAttributes(const std::string& winPath, std::uint32_t attributes) {
  const auto r = impl_->drive.Resolve(winPath);
  if (r.error != detail::PathError::None) return false;
  impl_->drive.SetAttributes(r, attributes);
  return true;
}
void Machine::MarkLoaded(const std::string& winPath) {
  impl_->drive.busy.insert(impl_->drive.Resolve(winPath).Canonical());
}
void Machine::SetUndeletable(const std::string& winPath, bool undeletable) {
  const auto r = impl_->drive.Resolve(winPath);
  if (undeletable)
    impl_->drive.undeletable.insert(r.Canonical());
  else
    impl_->drive.undeletable.erase(r.Canonical());
}
void Machine::SetReadOnlyFolder(const std::string& winPath) {
  impl_->drive.readOnly.insert(impl_->drive.Resolve(winPath).Canonical());
}
void Machine::SetSweptFolder(const std::string& winPath) {
  impl_->drive.swept.insert(impl_->drive.Resolve(winPath).Canonical());
}
bool Machine::IsUndeletable(const std::string& winPath) const {
  const auto r = impl_->drive.Resolve(winPath);
  return impl_->drive.undeletable.count(r.Canonical()) > 0;
}
std::vector<std::string> Machine::ListFiles() const {
  std::vector<std::string> out;
  for (std::string rel : impl_->drive.Files()) {
    std::replace(rel.begin(), rel.end(), '/', '\\');
    out.push_back("C:\\" + rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace dravlin::sim
