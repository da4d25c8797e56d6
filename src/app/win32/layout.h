// The window's design: every control's place in twips, its kind, font and design-time text.
// Twips become pixels at the system DPI when the window is created.
#pragma once

#include <array>

#include "platform/ui.h"

namespace dravlin::app {

enum class Kind { Frame, Button, Label, Line, CheckBox };
enum class Font { Standard, Bold, Heading, Small };

struct ControlDesign {
  platform::Control control;
  Kind kind;
  // Position relative to the window's client area (controls of Frame1 are shifted by its place).
  int left, top, width, height;
  Font font;
  const char* text;  // UTF-8
  bool shown;
  bool tabStop;
};

inline constexpr int kClientWidthTwips = 5550;
inline constexpr int kClientHeightTwips = 3450;
inline constexpr unsigned kBackgroundRgb =
    0xC0FFFF;  // COLORREF order: red 255, green 255, blue 192

inline constexpr int kFrameLeft = 120;
inline constexpr int kFrameTop = 120;

// Creation order is tab order and stacking order: the two buttons lead, the frame comes last so
// that it lies beneath the controls it holds.
// label2 is 15 twips wider than designed (5070, not 5055), still inside the frame: at 96 dpi the
// German text's last line, "neu auf und die Desinfektion kann abgeschlossen werden.", is 338
// pixels wide in Tahoma Bold; at 337 it wrapped, and its last word fell below the label.
inline constexpr std::array<ControlDesign, 12> kDesign{{
    {platform::Control::CB_start, Kind::Button, 3200, 3000, 2200, 375, Font::Standard,
     "Desinfektion starten", true, true},
    {platform::Control::Command2, Kind::Button, 120, 3000, 2200, 375, Font::Standard, "Schliessen",
     true, true},
    {platform::Control::Check1, Kind::CheckBox, 9585, 120, 255, 255, Font::Standard, "Check1",
     false, false},
    {platform::Control::label2, Kind::Label, kFrameLeft + 120, kFrameTop + 250, 5070, 1455,
     Font::Bold, "", true, false},
    {platform::Control::Line1, Kind::Line, kFrameLeft + 0, kFrameTop + 1800, 5280, 0,
     Font::Standard, "", true, false},
    {platform::Control::Label3, Kind::Label, kFrameLeft + 120, kFrameTop + 1920, 5055, 255,
     Font::Heading, "In Zusammenarbeit mit:", true, false},
    {platform::Control::Label4, Kind::Label, kFrameLeft + 120, kFrameTop + 2160, 5055, 255,
     Font::Standard, "", true, false},
    {platform::Control::Label1, Kind::Label, kFrameLeft + 120, kFrameTop + 2440, 5055, 255,
     Font::Standard, "Dravlin: written by the Dravlin developers", true, false},
    {platform::Control::Label5, Kind::Label, kFrameLeft + 4905, kFrameTop + 2565, 375, 150,
     Font::Small, "v.1.06", true, false},
    {platform::Control::Command1, Kind::Button, kFrameLeft + 2640, kFrameTop + 2400, 2130, 285,
     Font::Standard, "runonce erstellen", false, false},
    {platform::Control::Command3, Kind::Button, kFrameLeft + 2640, kFrameTop + 2040, 2160, 360,
     Font::Standard, "Command3", false, false},
    {platform::Control::Frame1, Kind::Frame, kFrameLeft, kFrameTop, 5295, 2775, Font::Standard,
     "Erkl\u00e4rung", true, false},
}};

// Twips to pixels: 1440 twips are one inch.
inline constexpr int TwipsToPixels(int twips, int dpi) {
  return static_cast<int>((static_cast<long long>(twips) * dpi + 720) / 1440);
}

}  // namespace dravlin::app
