// The kernel's and the runtime's file calls on drive C: as the program sees them.
#include <algorithm>

#include "sim/program.h"

namespace dravlin::sim::detail {

using platform::RtError;
using platform::Status;
using Gate = Machine::Impl::Gate;

namespace {
using platform::ERROR_INVALID_NAME;
constexpr RtError RT_BAD_FILE_MODE = 54;
constexpr int kMaxFileNumber = 511;
}  // namespace

Status PathStatus(PathError e) {
  switch (e) {
    case PathError::None:
      return platform::ERROR_SUCCESS;
    case PathError::FileMissing:
      return platform::ERROR_FILE_NOT_FOUND;
    case PathError::BadName:
      return ERROR_INVALID_NAME;
    case PathError::NotOnDrive:
    case PathError::PathMissing:
      break;
  }
  return platform::ERROR_PATH_NOT_FOUND;
}

// ===== Kernel

bool Program::DeleteFileA(const std::string& path) {
  std::uint32_t injected = 0;
  if (m_.Enter("DeleteFileA", false, &injected) == Gate::Fail) return Fail(injected);
  const Resolved r = m_.drive.Resolve(path);
  if (r.error != PathError::None) return Fail(PathStatus(r.error));
  if (r.isFolder || m_.drive.WriteProtected(r)) return Fail(platform::ERROR_ACCESS_DENIED);
  if (m_.drive.Attributes(r) & platform::FILE_ATTRIBUTE_READONLY)
    return Fail(platform::ERROR_ACCESS_DENIED);
  // NT refuses to delete the image of a loaded DLL as it refuses any mapped file.
  if (m_.drive.Busy(r) && m_.IsNt()) return Fail(platform::ERROR_ACCESS_DENIED);
  if (m_.drive.Undeletable(r) || m_.drive.Busy(r)) return Fail(platform::ERROR_SHARING_VIOLATION);
  for (const auto& [n, f] : m_.files) {
    if (f.host == r.host) return Fail(platform::ERROR_SHARING_VIOLATION);
  }
  if (!m_.drive.Remove(r.host)) return Fail(platform::ERROR_ACCESS_DENIED);
  m_.drive.Forget(r);
  return true;
}

bool Program::SetFileAttributesA(const std::string& path, std::uint32_t attributes) {
  std::uint32_t injected = 0;
  if (m_.Enter("SetFileAttributesA", false, &injected) == Gate::Fail) return Fail(injected);
  const Resolved r = m_.drive.Resolve(path);
  if (r.error != PathError::None) return Fail(PathStatus(r.error));
  if (m_.drive.WriteProtected(r)) return Fail(platform::ERROR_ACCESS_DENIED);
  m_.drive.SetAttributes(r, attributes);
  return true;
}

std::uint32_t Program::GetFileAttributesA(const std::string& path) {
  std::uint32_t injected = 0;
  if (m_.Enter("GetFileAttributesA", false, &injected) == Gate::Fail) {
    Fail(injected);
    return platform::INVALID_FILE_ATTRIBUTES;
  }
  const Resolved r = m_.drive.Resolve(path);
  if (r.error != PathError::None) {
    Fail(PathStatus(r.error));
    return platform::INVALID_FILE_ATTRIBUTES;
  }
  return m_.drive.Attributes(r);
}

bool Program::CreateDirectoryA(const std::string& path) {
  std::uint32_t injected = 0;
  if (m_.Enter("CreateDirectoryA", false, &injected) == Gate::Fail) return Fail(injected);
  const Resolved r = m_.drive.Resolve(path);
  if (r.error == PathError::None) return Fail(platform::ERROR_ALREADY_EXISTS);
  if (r.error != PathError::FileMissing) return Fail(PathStatus(r.error));
  if (m_.drive.WriteProtected(r) || !m_.drive.MakeFolder(r.host))
    return Fail(platform::ERROR_ACCESS_DENIED);
  m_.drive.Forget(r);
  return true;
}

bool Program::CopyFileA(const std::string& existing, const std::string& target, bool failIfExists) {
  std::uint32_t injected = 0;
  if (m_.Enter("CopyFileA", false, &injected) == Gate::Fail) return Fail(injected);
  const Resolved from = m_.drive.Resolve(existing);
  if (from.error != PathError::None) return Fail(PathStatus(from.error));
  if (from.isFolder) return Fail(platform::ERROR_ACCESS_DENIED);
  const Resolved to = m_.drive.Resolve(target);
  if (to.error != PathError::None && to.error != PathError::FileMissing)
    return Fail(PathStatus(to.error));
  if (m_.drive.WriteProtected(to)) return Fail(platform::ERROR_ACCESS_DENIED);
  if (to.error == PathError::None) {
    if (failIfExists) return Fail(platform::ERROR_FILE_EXISTS);
    if (to.isFolder || (m_.drive.Attributes(to) &
                        (platform::FILE_ATTRIBUTE_READONLY | platform::FILE_ATTRIBUTE_HIDDEN)))
      return Fail(platform::ERROR_ACCESS_DENIED);
  }
  const auto bytes = m_.drive.Read(from.host);
  if (!bytes) return Fail(platform::ERROR_ACCESS_DENIED);
  if (!m_.drive.Write(to.host, *bytes)) return Fail(platform::ERROR_ACCESS_DENIED);
  // The copy carries the original's attributes; it needs the resolved form of its new name.
  const Resolved made = m_.drive.Resolve(target);
  m_.drive.SetAttributes(made, m_.drive.Attributes(from));
  m_.drive.Sweep(made);
  return true;
}

bool Program::PathFileExistsA(const std::string& path) {
  std::uint32_t injected = 0;
  if (m_.Enter("PathFileExistsA", false, &injected) == Gate::Fail) return Fail(injected);
  const Resolved r = m_.drive.Resolve(path);
  if (r.error != PathError::None) return Fail(PathStatus(r.error));
  return true;
}

// ===== Runtime files

RtError Program::FileError(const Resolved& r) const {
  switch (r.error) {
    case PathError::None:
      return platform::RT_OK;
    case PathError::FileMissing:
      return platform::RT_FILE_NOT_FOUND;
    case PathError::BadName:
      return platform::RT_BAD_FILE_NAME_OR_NUMBER;
    case PathError::NotOnDrive:
    case PathError::PathMissing:
      break;
  }
  return platform::RT_PATH_NOT_FOUND;
}

int Program::FreeFile() {
  std::uint32_t injected = 0;
  m_.Enter("Files.FreeFile", false, &injected);
  int n = 1;
  while (m_.files.count(n)) ++n;
  return n;
}

RtError Program::OpenForAppend(int fileNumber, const std::string& path) {
  std::uint32_t injected = 0;
  if (m_.Enter("Files.OpenForAppend", false, &injected) == Gate::Fail)
    return static_cast<RtError>(injected);
  if (fileNumber < 1 || fileNumber > kMaxFileNumber) return platform::RT_BAD_FILE_NAME_OR_NUMBER;
  if (m_.files.count(fileNumber)) return platform::RT_FILE_ALREADY_OPEN;
  Resolved r = m_.drive.Resolve(path);
  if (r.error != PathError::None && r.error != PathError::FileMissing) return FileError(r);
  if (m_.drive.WriteProtected(r)) return platform::RT_PATH_FILE_ACCESS_ERROR;
  if (r.error == PathError::None) {
    if (r.isFolder || (m_.drive.Attributes(r) & platform::FILE_ATTRIBUTE_READONLY))
      return platform::RT_PATH_FILE_ACCESS_ERROR;
    if (m_.drive.Undeletable(r) || m_.drive.Busy(r)) return platform::RT_PERMISSION_DENIED;
    for (const auto& [n, f] : m_.files) {
      if (f.host == r.host) return platform::RT_FILE_ALREADY_OPEN;
    }
  }
  if (!m_.drive.Append(r.host, {}, r.error == PathError::FileMissing))
    return platform::RT_PATH_FILE_ACCESS_ERROR;
  if (r.error == PathError::FileMissing) m_.drive.Forget(r);
  m_.files[fileNumber] = {std::move(r.host), true, 0, path};
  return platform::RT_OK;
}

RtError Program::OpenForBinaryRead(int fileNumber, const std::string& path) {
  std::uint32_t injected = 0;
  if (m_.Enter("Files.OpenForBinaryRead", false, &injected) == Gate::Fail)
    return static_cast<RtError>(injected);
  if (fileNumber < 1 || fileNumber > kMaxFileNumber) return platform::RT_BAD_FILE_NAME_OR_NUMBER;
  if (m_.files.count(fileNumber)) return platform::RT_FILE_ALREADY_OPEN;
  Resolved r = m_.drive.Resolve(path);
  if (r.error != PathError::None) return FileError(r);
  if (r.isFolder) return platform::RT_PATH_FILE_ACCESS_ERROR;
  m_.files[fileNumber] = {std::move(r.host), false, 0, path};
  return platform::RT_OK;
}

RtError Program::PrintLine(int fileNumber, const std::string& text) {
  std::uint32_t injected = 0;
  if (m_.Enter("Files.PrintLine", false, &injected) == Gate::Fail)
    return static_cast<RtError>(injected);
  auto it = m_.files.find(fileNumber);
  if (it == m_.files.end()) return platform::RT_BAD_FILE_NAME_OR_NUMBER;
  if (!it->second.append) return RT_BAD_FILE_MODE;
  // Written through at once, so that a crash later keeps every line written before it.
  // Opening for append makes the file again if something removed it meanwhile.
  const bool gone = !m_.drive.Exists(it->second.host);
  return m_.drive.Append(it->second.host, text, gone, "\r\n") ? platform::RT_OK
                                                              : platform::RT_DEVICE_IO_ERROR;
}

RtError Program::Get(int fileNumber, std::string* buffer) {
  std::uint32_t injected = 0;
  if (m_.Enter("Files.Get", false, &injected) == Gate::Fail) return static_cast<RtError>(injected);
  auto it = m_.files.find(fileNumber);
  if (it == m_.files.end()) return platform::RT_BAD_FILE_NAME_OR_NUMBER;
  if (it->second.append) return RT_BAD_FILE_MODE;
  if (buffer == nullptr) return platform::RT_OK;
  const auto bytes = m_.drive.Read(it->second.host);
  if (!bytes) return platform::RT_DEVICE_IO_ERROR;
  // Past the end the rest of the buffer keeps what it held.
  const std::size_t from = std::min<std::uint64_t>(it->second.position, bytes->size());
  const std::size_t count = std::min(buffer->size(), bytes->size() - from);
  std::copy_n(bytes->data() + from, count, buffer->data());
  it->second.position += count;
  return platform::RT_OK;
}

RtError Program::Close(int fileNumber) {
  std::uint32_t injected = 0;
  const Gate gate = m_.Enter("Files.Close", true, &injected);
  if (gate == Gate::Skip) return platform::RT_OK;
  if (gate == Gate::Fail) return static_cast<RtError>(injected);
  const auto it = m_.files.find(fileNumber);
  if (it == m_.files.end())
    return platform::RT_OK;  // closing a number that is not open is no error
  const std::string path = it->second.path;
  const bool written = it->second.append;
  m_.files.erase(it);
  if (written) m_.drive.Sweep(m_.drive.Resolve(path));
  return platform::RT_OK;
}

RtError Program::FileLen(const std::string& path, std::int64_t* length) {
  std::uint32_t injected = 0;
  if (m_.Enter("Files.FileLen", false, &injected) == Gate::Fail)
    return static_cast<RtError>(injected);
  const Resolved r = m_.drive.Resolve(path);
  if (r.error != PathError::None) return FileError(r);
  if (r.isFolder) return platform::RT_FILE_NOT_FOUND;
  const auto size = m_.drive.Size(r.host);
  if (!size) return platform::RT_PATH_FILE_ACCESS_ERROR;
  if (length) *length = static_cast<std::int64_t>(*size);
  return platform::RT_OK;
}

bool Program::FileExists(const std::string& path) {
  std::uint32_t injected = 0;
  if (m_.Enter("Files.FileExists", false, &injected) == Gate::Fail) return false;
  const Resolved r = m_.drive.Resolve(path);
  return r.error == PathError::None && !r.isFolder;
}

RtError Program::Kill(const std::string& path) {
  std::uint32_t injected = 0;
  if (m_.Enter("Files.Kill", false, &injected) == Gate::Fail) return static_cast<RtError>(injected);
  const Resolved r = m_.drive.Resolve(path);
  if (r.error != PathError::None) return FileError(r);
  if (r.isFolder) return platform::RT_FILE_NOT_FOUND;
  for (const auto& [n, f] : m_.files) {
    if (f.host == r.host) return platform::RT_FILE_ALREADY_OPEN;
  }
  if (m_.drive.WriteProtected(r)) return platform::RT_PATH_FILE_ACCESS_ERROR;
  // The runtime's numbers for what DeleteFileA answers: access denied (a read-only file, a
  // loaded DLL on NT) is 75, a file in use elsewhere 70.
  const bool loadedOnNt = m_.drive.Busy(r) && m_.IsNt();
  if ((m_.drive.Attributes(r) & platform::FILE_ATTRIBUTE_READONLY) || loadedOnNt)
    return platform::RT_PATH_FILE_ACCESS_ERROR;
  if (m_.drive.Undeletable(r) || m_.drive.Busy(r)) return platform::RT_PERMISSION_DENIED;
  if (!m_.drive.Remove(r.host)) return platform::RT_PATH_FILE_ACCESS_ERROR;
  m_.drive.Forget(r);
  return platform::RT_OK;
}

}  // namespace dravlin::sim::detail
