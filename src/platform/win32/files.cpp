// The runtime's numbered files over Win32 file handles, failures as the runtime's error numbers.
#include "platform/win32/win32.h"

#include <limits>

#include "platform/win32/windows_api.h"

namespace dravlin::win32 {

namespace {

using platform::RtError;

// The runtime's file numbers run from 1 to 511.
constexpr int kLastFileNumber = 511;
// Reading from a file opened for appending, or writing to one opened for reading.
constexpr RtError kBadFileMode = 54;

HANDLE ToFileHandle(std::uintptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

RtError FromWin32Error(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return platform::RT_FILE_NOT_FOUND;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return platform::RT_PATH_NOT_FOUND;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return platform::RT_PERMISSION_DENIED;
    case ERROR_ACCESS_DENIED:
      return platform::RT_PATH_FILE_ACCESS_ERROR;
    case ERROR_INVALID_NAME:
      return platform::RT_BAD_FILE_NAME_OR_NUMBER;
    default:
      return platform::RT_DEVICE_IO_ERROR;
  }
}

}  // namespace

Files::~Files() {
  for (const auto& [number, file] : open_) ::CloseHandle(ToFileHandle(file.handle));
}

int Files::FreeFile() {
  int number = 1;
  for (const auto& entry : open_) {
    if (entry.first != number) break;
    ++number;
  }
  return number;
}

platform::RtError Files::Open(int fileNumber, const std::string& path, bool forAppend) {
  if (fileNumber < 1 || fileNumber > kLastFileNumber) return platform::RT_BAD_FILE_NAME_OR_NUMBER;
  if (open_.count(fileNumber) != 0) return platform::RT_FILE_ALREADY_OPEN;
  const HANDLE handle = ::CreateFileA(
      path.c_str(), forAppend ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
      nullptr, forAppend ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FromWin32Error(::GetLastError());
  if (forAppend && ::SetFilePointer(handle, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
      ::GetLastError() != NO_ERROR) {
    const RtError error = FromWin32Error(::GetLastError());
    ::CloseHandle(handle);
    return error;
  }
  open_[fileNumber] = {reinterpret_cast<std::uintptr_t>(handle), forAppend};
  return platform::RT_OK;
}

platform::RtError Files::OpenForAppend(int fileNumber, const std::string& path) {
  return Open(fileNumber, path, true);
}

platform::RtError Files::OpenForBinaryRead(int fileNumber, const std::string& path) {
  return Open(fileNumber, path, false);
}

platform::RtError Files::PrintLine(int fileNumber, const std::string& text) {
  const auto it = open_.find(fileNumber);
  if (it == open_.end()) return platform::RT_BAD_FILE_NAME_OR_NUMBER;
  if (!it->second.forAppend) return kBadFileMode;
  const std::string line = text + "\r\n";
  if (line.size() > std::numeric_limits<DWORD>::max()) return platform::RT_DEVICE_IO_ERROR;
  DWORD written = 0;
  if (!::WriteFile(ToFileHandle(it->second.handle), line.data(), static_cast<DWORD>(line.size()),
                   &written, nullptr) ||
      written != line.size()) {
    return platform::RT_DEVICE_IO_ERROR;
  }
  return platform::RT_OK;
}

platform::RtError Files::Get(int fileNumber, std::string* buffer) {
  const auto it = open_.find(fileNumber);
  if (it == open_.end()) return platform::RT_BAD_FILE_NAME_OR_NUMBER;
  if (it->second.forAppend) return kBadFileMode;
  if (buffer->empty()) return platform::RT_OK;
  if (buffer->size() > std::numeric_limits<DWORD>::max()) return platform::RT_DEVICE_IO_ERROR;
  // Past the end of the file the rest of the buffer keeps what it held.
  DWORD read = 0;
  if (!::ReadFile(ToFileHandle(it->second.handle), buffer->data(),
                  static_cast<DWORD>(buffer->size()), &read, nullptr)) {
    return platform::RT_DEVICE_IO_ERROR;
  }
  return platform::RT_OK;
}

platform::RtError Files::Close(int fileNumber) {
  const auto it = open_.find(fileNumber);
  // Closing a number that is not open is no error for the runtime either.
  if (it == open_.end()) return platform::RT_OK;
  const BOOL closed = ::CloseHandle(ToFileHandle(it->second.handle));
  open_.erase(it);
  return closed ? platform::RT_OK : platform::RT_DEVICE_IO_ERROR;
}

platform::RtError Files::FileLen(const std::string& path, std::int64_t* length) {
  // The directory entry rather than GetFileAttributesExA, which the first Windows 95 lacks.
  // A wildcard would match some other file: such a name is invalid, as it is for the latter.
  if (path.find_first_of("*?") != std::string::npos) return platform::RT_BAD_FILE_NAME_OR_NUMBER;
  WIN32_FIND_DATAA data;
  const HANDLE found = ::FindFirstFileA(path.c_str(), &data);
  if (found == INVALID_HANDLE_VALUE) return FromWin32Error(::GetLastError());
  ::FindClose(found);
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return platform::RT_FILE_NOT_FOUND;
  *length = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                      data.nFileSizeLow);
  return platform::RT_OK;
}

bool Files::FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

platform::RtError Files::Kill(const std::string& path) {
  // A file that this runtime holds open is refused with its own number, before Windows is asked.
  if (!open_.empty()) {
    const HANDLE probe = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
      BY_HANDLE_FILE_INFORMATION wanted{}, held{};
      const bool known = ::GetFileInformationByHandle(probe, &wanted) != 0;
      ::CloseHandle(probe);
      for (const auto& [number, file] : open_) {
        if (known && ::GetFileInformationByHandle(ToFileHandle(file.handle), &held) &&
            held.dwVolumeSerialNumber == wanted.dwVolumeSerialNumber &&
            held.nFileIndexHigh == wanted.nFileIndexHigh &&
            held.nFileIndexLow == wanted.nFileIndexLow) {
          return platform::RT_FILE_ALREADY_OPEN;
        }
      }
    }
  }
  if (::DeleteFileA(path.c_str())) return platform::RT_OK;
  return FromWin32Error(::GetLastError());
}

}  // namespace dravlin::win32
