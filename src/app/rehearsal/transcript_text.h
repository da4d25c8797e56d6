// Readable names for what the transcript shows: texts, the Windows version, message box icons,
// restart flags and the window's controls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/machine.h"

namespace dravlin::rehearsal {

// Windows-1252 bytes (the log, registry data) as UTF-8 for the transcript. Names and paths,
// which may hold characters the code page lacks, go through platform::AnsiToUtf8.
std::string AnsiToUtf8(const std::string& bytes);
// Splits at CR LF (or a lone LF); a NUL or other control character is shown as \0 or \xNN.
std::vector<std::string> Lines(const std::string& text);
// "Windows XP (winxp), 5.1 build 2600 Service Pack 2, NT-based".
std::string DescribeVersion(const sim::VersionSettings& v);
std::string IconName(std::uint32_t style);   // of a message box's style
std::string ExitFlags(std::uint32_t flags);  // "0x6 (EWX_REBOOT | EWX_FORCE)"

struct ControlInfo {
  platform::Control control;
  const char* name;
  bool button;
};
// In the window's order, as a user reads it: explanation, partners, credit, version, buttons.
inline constexpr ControlInfo kControls[] = {
    {platform::Control::Frame1, "Frame1", false},
    {platform::Control::label2, "label2", false},
    {platform::Control::Label3, "Label3", false},
    {platform::Control::Label4, "Label4", false},
    {platform::Control::Label1, "Label1", false},
    {platform::Control::Label5, "Label5", false},
    {platform::Control::Check1, "Check1", true},
    {platform::Control::Command1, "Command1", true},
    {platform::Control::Command3, "Command3", true},
    {platform::Control::Command2, "Command2", true},
    {platform::Control::CB_start, "CB_start", true},
};

}  // namespace dravlin::rehearsal
