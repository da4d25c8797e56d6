// The language runtime's file services: numbered files opened for appending text or for
// binary reading, file length, existence and deletion by name. Statuses are the runtime's
// error numbers (0 for success).
#pragma once

#include <cstdint>
#include <string>

namespace dravlin::platform {

using RtError = std::int32_t;
inline constexpr RtError RT_OK = 0;
inline constexpr RtError RT_BAD_FILE_NAME_OR_NUMBER = 52;
inline constexpr RtError RT_FILE_NOT_FOUND = 53;
inline constexpr RtError RT_FILE_ALREADY_OPEN = 55;
inline constexpr RtError RT_DEVICE_IO_ERROR = 57;
inline constexpr RtError RT_PERMISSION_DENIED = 70;
inline constexpr RtError RT_PATH_FILE_ACCESS_ERROR = 75;
inline constexpr RtError RT_PATH_NOT_FOUND = 76;

class Files {
 public:
  virtual ~Files() = default;

  // The lowest file number not in use (1 and up).
  virtual int FreeFile() = 0;
  // Creates the file when missing; writing starts at its end.
  virtual RtError OpenForAppend(int fileNumber, const std::string& path) = 0;
  virtual RtError OpenForBinaryRead(int fileNumber, const std::string& path) = 0;
  // Writes text followed by CR LF.
  virtual RtError PrintLine(int fileNumber, const std::string& text) = 0;
  // Reads bytes into the whole of *buffer from the current position.
  virtual RtError Get(int fileNumber, std::string* buffer) = 0;
  virtual RtError Close(int fileNumber) = 0;

  virtual RtError FileLen(const std::string& path, std::int64_t* length) = 0;
  // True when a file (not a folder) of that name exists.
  virtual bool FileExists(const std::string& path) = 0;
  virtual RtError Kill(const std::string& path) = 0;
};

}  // namespace dravlin::platform
