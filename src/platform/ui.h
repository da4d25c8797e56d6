// The window system (user32): the main window and its controls, modal message boxes and
// the restart request. Texts are UTF-8; the Win32 side converts them at the boundary: to the
// ANSI code page for the window's own texts (the ANSI window calls work on every target), to
// UTF-16 for message boxes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace dravlin::platform {

// The main window's controls, by their design names. Form stands for the window itself
// (its text is the title).
enum class Control {
  Form,
  Frame1,
  Command3,
  Command1,
  Label5,
  Label1,
  Label4,
  Label3,
  Line1,
  label2,
  Check1,
  Command2,
  CB_start,
};

inline constexpr std::uint32_t MB_OK = 0;
inline constexpr std::uint32_t MB_ICONEXCLAMATION = 0x30;
inline constexpr std::uint32_t MB_ICONINFORMATION = 0x40;
inline constexpr int IDOK = 1;

inline constexpr std::uint32_t EWX_LOGOFF = 0;
inline constexpr std::uint32_t EWX_SHUTDOWN = 1;
inline constexpr std::uint32_t EWX_REBOOT = 2;
inline constexpr std::uint32_t EWX_FORCE = 4;
inline constexpr std::uint32_t EWX_POWEROFF = 8;

inline constexpr const char* kApplicationTitle = "Dravlin";

class Window {
 public:
  virtual ~Window() = default;

  virtual void SetText(Control control, const std::string& text) = 0;
  virtual std::string GetText(Control control) = 0;
  virtual void SetEnabled(Control control, bool enabled) = 0;
  virtual bool IsEnabled(Control control) = 0;
  virtual void SetVisible(Control control, bool visible) = 0;
  virtual bool IsVisible(Control control) = 0;

  virtual void Show() = 0;
  virtual void Hide() = 0;
  // Destroys the window; the message loop ends after the running handler returns.
  virtual void Unload() = 0;
  virtual bool IsLoaded() = 0;
};

class Ui {
 public:
  virtual ~Ui() = default;

  virtual Window& MainWindow() = 0;
  // Modal. title nullopt: the box shows the application title. Returns the button pressed.
  virtual int MessageBox(const std::string& text, std::uint32_t style,
                         const std::optional<std::string>& title) = 0;
  // Nonzero when Windows accepted the request; the request runs on asynchronously.
  virtual bool ExitWindowsEx(std::uint32_t flags, std::uint32_t reserved) = 0;
};

}  // namespace dravlin::platform
