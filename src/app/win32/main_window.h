// The main window on Win32: the controls laid out from their twips, fonts, colours, default
// button and tab order, and platform::Window over them. Clicks and closing go to FormEvents.
#pragma once

#include <memory>
#include <string>
#include <type_traits>

#include "platform/ui.h"
#include "platform/win32/windows_api.h"

namespace dravlin::app {

// What the window reports to the program's logic. The window outlives the logic's object, so
// it must be told when the logic is gone (SetEvents(nullptr)).
class FormEvents {
 public:
  virtual ~FormEvents() = default;
  virtual void CB_start_Click() = 0;
  virtual void Command1_Click() = 0;
  virtual void Command2_Click() = 0;
  virtual void Command3_Click() = 0;
  virtual void Form_Unload() = 0;
};

struct FontDeleter {
  void operator()(HFONT font) const { DeleteObject(font); }
};
using FontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

struct BrushDeleter {
  void operator()(HBRUSH brush) const { DeleteObject(brush); }
};
using BrushHandle = std::unique_ptr<std::remove_pointer_t<HBRUSH>, BrushDeleter>;

class MainWindow final : public platform::Window {
 public:
  explicit MainWindow(HINSTANCE instance);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Creates the window and every control, hidden. False when Windows refused.
  bool Create();
  void SetEvents(FormEvents* events) { events_ = events; }
  HWND Handle() const { return hwnd_; }
  // Runs until the window is gone; returns the exit code the quit message carries.
  int RunMessageLoop();

  void SetText(platform::Control control, const std::string& text) override;
  std::string GetText(platform::Control control) override;
  void SetEnabled(platform::Control control, bool enabled) override;
  bool IsEnabled(platform::Control control) override;
  void SetVisible(platform::Control control, bool visible) override;
  bool IsVisible(platform::Control control) override;
  void Show() override;
  void Hide() override;
  void Unload() override;
  bool IsLoaded() override;

 private:
  static constexpr int kControlCount = static_cast<int>(platform::Control::CB_start) + 1;

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnCreate();
  void OnCommand(int id, int code);
  LRESULT OnColorStatic(HDC dc);
  void OnActivate(bool active);
  void OnClose();
  void FireUnloadOnce();
  HWND ControlWindow(platform::Control control) const;

  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  HWND controls_[kControlCount] = {};
  HWND lastFocus_ = nullptr;
  FormEvents* events_ = nullptr;
  bool unloadFired_ = false;
  BrushHandle background_;
  FontHandle standardFont_;
  FontHandle boldFont_;
  FontHandle headingFont_;
  FontHandle smallFont_;
};

}  // namespace dravlin::app
