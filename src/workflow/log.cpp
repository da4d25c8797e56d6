// The activity log beside the executable: opened once per run, appended line by line,
// closed by the restart preparation or the unload path.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/regional.h"
#include "workflow/frmGetAll.h"
#include "workflow/guard.h"
#include "workflow/names.h"

namespace dravlin {

std::string frmGetAll::ExeDirectory() {
  // Paths beyond MAX_PATH exist on NT; grow the buffer while the name comes back truncated.
  for (std::uint32_t size = platform::MAX_PATH; size <= 32768; size *= 2) {
    std::vector<char> buffer(size, '\0');
    const std::uint32_t n = sv_.kernel.GetModuleFileNameA(buffer.data(), size);
    if (n == 0) return {};
    if (n < size) {
      const std::string path(buffer.data(), n);
      const auto slash = path.rfind('\\');
      return slash == std::string::npos ? std::string() : path.substr(0, slash);
    }
  }
  return {};
}

void frmGetAll::OpenLog() {
  ProcedureGuard ignore(*this, nullptr);
  std::string path;
  ignore.Step([&] { path = ExeDirectory() + names::kLogFileName; });
  ignore.Step([&] { LogFileNumber_ = sv_.files.FreeFile(); });
  ignore.Step([&] { logOpen_ = sv_.files.OpenForAppend(LogFileNumber_, path) == platform::RT_OK; });
}

std::string frmGetAll::TimeStamp(const platform::SystemTime& when) {
  // The user's formats as they are at this moment; any failure gives an empty stamp.
  char date[256] = {};
  char time[256] = {};
  const int dateLength = sv_.regional.GetDateFormatA(
      platform::LOCALE_USER_DEFAULT, platform::DATE_SHORTDATE, &when, nullptr, date, 256);
  if (dateLength <= 0) return {};
  const int timeLength =
      sv_.regional.GetTimeFormatA(platform::LOCALE_USER_DEFAULT, 0, &when, nullptr, time, 256);
  if (timeLength <= 0) return {};
  // The counts include the terminating NUL.
  const auto text = [](const char* buffer, int count) {
    return std::string(buffer, static_cast<std::size_t>(std::min(count - 1, 255)));
  };
  return text(date, dateLength) + " " + text(time, timeLength);
}

std::string frmGetAll::TimeStampNow() {
  platform::SystemTime now;
  sv_.regional.GetLocalTime(&now);
  return TimeStamp(now);
}

void frmGetAll::WriteLog(const std::string& text) {
  // A log that could not be opened, or is already closed, takes nothing; a failed write is
  // not worth stopping a disinfection for.
  if (!logOpen_) return;
  (void)sv_.files.PrintLine(LogFileNumber_, text);
}

void frmGetAll::CloseLog() {
  if (!logOpen_) return;
  logOpen_ = false;
  (void)sv_.files.Close(LogFileNumber_);
}

}  // namespace dravlin
