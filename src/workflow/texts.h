// The user-visible texts of the workflow, German and English (UTF-8).
#pragma once

#include <string>

namespace dravlin::texts {

std::string VersionLabel();
std::string PartnerLine();
std::string NoAdminMessage(bool german);
std::string NoAdminLogLine(bool german);
std::string KeyNotFoundMessage(bool german);
std::string RestartMessage(bool german, bool autoRestart);
std::string DisinfectedMessage(bool german);
std::string CleanupErrorMessage(bool german);
std::string NotInfectedMarker(bool german);
std::string NotInfectedSuffix(bool german);
std::string CompleteCaption(bool german);
// Log lines of the recovery from a key move that did not complete.
std::string KeyNotMovedLogLine(bool german);
std::string KeyNotRestoredLogLine(bool german);
std::string EmptyKeyRemovedLogLine(bool german);
// Log lines of a clean-up that could not finish, and of the one that finishes it later.
std::string LeftOverLogLine(bool german, const std::string& item);
std::string PagesKeptLogLine(bool german);
std::string NotReadableLogLine(bool german, const std::string& item);
std::string ParkedCopyRemovedLogLine(bool german);
std::string ParkedCopyReplacedLogLine(bool german);
// Where this disinfection's backup is.
std::string BackupLogLine(bool german, const std::string& folder);

// Log lines that are the same in both languages.
inline constexpr const char* kRestartLogLine = " Restart";
inline constexpr const char* kCleanedLogLine = " Cleaned";
inline constexpr const char* kNotInfectedLogLine =
    " Stealth-String not found -> Programm terminated";
// What an error line of each step begins with; the error number follows.
inline constexpr const char* kErrorNtLogLine = " Error go_nt: ";
inline constexpr const char* kError9xLogLine = " Error go_9x: ";

}  // namespace dravlin::texts
