// The main window: creation from the design table, its message handler and platform::Window.
#include "app/win32/main_window.h"

#include <cstring>

#include "app/win32/layout.h"
#include "platform/win32/win32.h"

namespace dravlin::app {
namespace {

constexpr char kClassName[] = "DravlinMainWindow";
constexpr char kTitle[] = "QZ.html - Hijack Fixer";
constexpr int kFirstControlId = 100;
// A fixed frame with title bar, system menu and minimise box; the size never changes.
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

int ControlId(platform::Control control) {
  return kFirstControlId + static_cast<int>(control);
}

// Font height for a size in hundredths of a point, at the screen's DPI.
int FontHeight(int hundredthsOfPoint, int dpi) {
  return -MulDiv(hundredthsOfPoint, dpi, 7200);
}

FontHandle MakeFont(const char* face, int hundredthsOfPoint, int dpi, bool bold, bool underline) {
  LOGFONTA lf{};
  lf.lfHeight = FontHeight(hundredthsOfPoint, dpi);
  lf.lfWeight = bold ? FW_BOLD : FW_NORMAL;
  lf.lfUnderline = underline ? TRUE : FALSE;
  lf.lfCharSet = DEFAULT_CHARSET;
  lf.lfQuality = DEFAULT_QUALITY;
  std::strncpy(lf.lfFaceName, face, LF_FACESIZE - 1);
  return FontHandle(CreateFontIndirectA(&lf));
}

int ScreenDpi() {
  HDC screen = GetDC(nullptr);
  int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance)
    : instance_(instance), background_(CreateSolidBrush(kBackgroundRgb)) {}

MainWindow::~MainWindow() {
  events_ = nullptr;
  if (hwnd_) DestroyWindow(hwnd_);
}

bool MainWindow::Create() {
  int dpi = ScreenDpi();
  standardFont_ = MakeFont("MS Sans Serif", 825, dpi, false, false);
  boldFont_ = MakeFont("Tahoma", 825, dpi, true, false);
  headingFont_ = MakeFont("MS Sans Serif", 825, dpi, false, true);
  smallFont_ = MakeFont("MS Serif", 600, dpi, false, false);

  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &MainWindow::WindowProc;
  wc.hInstance = instance_;
  wc.hIcon = LoadIconA(instance_, MAKEINTRESOURCEA(1));
  wc.hIconSm = static_cast<HICON>(LoadImageA(instance_, MAKEINTRESOURCEA(1), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), 0));
  wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  wc.hbrBackground = background_.get();
  wc.lpszClassName = kClassName;
  if (!RegisterClassExA(&wc)) return false;

  RECT frame{0, 0, TwipsToPixels(kClientWidthTwips, dpi), TwipsToPixels(kClientHeightTwips, dpi)};
  AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
  int width = frame.right - frame.left;
  int height = frame.bottom - frame.top;
  int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;

  // WM_CREATE needs `this` before CreateWindowExA returns; it arrives in lpCreateParams.
  hwnd_ = CreateWindowExA(0, kClassName, kTitle, kWindowStyle, x, y, width, height, nullptr,
                          nullptr, instance_, this);
  return hwnd_ != nullptr;
}

void MainWindow::OnCreate() {
  int dpi = ScreenDpi();
  SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(standardFont_.get()), FALSE);
  for (const auto& design : kDesign) {
    const char* windowClass = "STATIC";
    DWORD style = WS_CHILD;
    switch (design.kind) {
      case Kind::Frame:
        windowClass = "BUTTON";
        style |= BS_GROUPBOX | WS_CLIPSIBLINGS;
        break;
      case Kind::Button:
        windowClass = "BUTTON";
        style |=
            (design.control == platform::Control::CB_start ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) |
            BS_NOTIFY;
        break;
      case Kind::CheckBox:
        windowClass = "BUTTON";
        style |= BS_AUTOCHECKBOX;
        break;
      case Kind::Label:
        style |= SS_LEFT | SS_NOPREFIX;
        break;
      case Kind::Line:
        style |= SS_ETCHEDHORZ;
        break;
    }
    if (design.shown) style |= WS_VISIBLE;
    if (design.tabStop) style |= WS_TABSTOP;
    int left = TwipsToPixels(design.left, dpi);
    int top = TwipsToPixels(design.top, dpi);
    int width = TwipsToPixels(design.width, dpi);
    // A line is drawn as an etched edge: two pixels, dark over light.
    int height = design.kind == Kind::Line ? 2 : TwipsToPixels(design.height, dpi);
    // The window functions are the ANSI ones, which every target implements.
    const std::string text = win32::Utf8ToAnsi(design.text);
    HWND child =
        CreateWindowExA(0, windowClass, text.c_str(), style, left, top, width, height, hwnd_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(design.control))),
                        instance_, nullptr);
    HFONT font = standardFont_.get();
    if (design.font == Font::Bold) font = boldFont_.get();
    if (design.font == Font::Heading) font = headingFont_.get();
    if (design.font == Font::Small) font = smallFont_.get();
    if (child) SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    controls_[static_cast<int>(design.control)] = child;
  }
  lastFocus_ = controls_[static_cast<int>(platform::Control::CB_start)];
}

LRESULT CALLBACK MainWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    auto* self = static_cast<MainWindow*>(create->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcA(hwnd, message, wParam, lParam);
  return self->OnMessage(message, wParam, lParam);
}

LRESULT MainWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      OnCreate();
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_CTLCOLORSTATIC:
      return OnColorStatic(reinterpret_cast<HDC>(wParam));
    case DM_GETDEFID: {
      // Enter presses the focused button, or the start button when no button has the focus.
      HWND focus = GetFocus();
      platform::Control target = focus == controls_[static_cast<int>(platform::Control::Command2)]
                                     ? platform::Control::Command2
                                     : platform::Control::CB_start;
      return MAKELRESULT(ControlId(target), DC_HASDEFID);
    }
    case WM_ACTIVATE:
      OnActivate(LOWORD(wParam) != WA_INACTIVE);
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_ENDSESSION:
      if (wParam) FireUnloadOnce();
      return 0;
    case WM_DESTROY: {
      HWND gone = hwnd_;
      hwnd_ = nullptr;
      for (auto& control : controls_) control = nullptr;
      SetWindowLongPtrA(gone, GWLP_USERDATA, 0);
      PostQuitMessage(0);
      return 0;
    }
    default:
      return DefWindowProcA(hwnd_, message, wParam, lParam);
  }
}

void MainWindow::OnCommand(int id, int code) {
  using platform::Control;
  int index = id - kFirstControlId;
  if (index < 0 || index >= kControlCount) return;
  auto control = static_cast<Control>(index);
  if (code == BN_SETFOCUS && (control == Control::CB_start || control == Control::Command2)) {
    // The focused button is the one Enter presses, and it shows that with the heavy border.
    HWND start = controls_[static_cast<int>(Control::CB_start)];
    HWND close = controls_[static_cast<int>(Control::Command2)];
    bool startFocused = control == Control::CB_start;
    SendMessageA(start, BM_SETSTYLE, startFocused ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
    SendMessageA(close, BM_SETSTYLE, startFocused ? BS_PUSHBUTTON : BS_DEFPUSHBUTTON, TRUE);
    return;
  }
  if (code != BN_CLICKED || !events_) return;
  switch (control) {
    case Control::CB_start:
      events_->CB_start_Click();
      break;
    case Control::Command1:
      events_->Command1_Click();
      break;
    case Control::Command2:
      events_->Command2_Click();
      break;
    case Control::Command3:
      events_->Command3_Click();
      break;
    default:
      break;
  }
}

LRESULT MainWindow::OnColorStatic(HDC dc) {
  SetBkColor(dc, kBackgroundRgb);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  return reinterpret_cast<LRESULT>(background_.get());
}

void MainWindow::OnActivate(bool active) {
  // Keep the keyboard focus on a control across message boxes and switching windows.
  if (!active) {
    HWND focus = GetFocus();
    if (focus && IsChild(hwnd_, focus)) lastFocus_ = focus;
    return;
  }
  if (lastFocus_ && IsWindowEnabled(lastFocus_) && IsWindowVisible(lastFocus_)) {
    SetFocus(lastFocus_);
  } else {
    SetFocus(hwnd_);
  }
}

void MainWindow::OnClose() {
  FireUnloadOnce();
  if (hwnd_) DestroyWindow(hwnd_);
}

// The logic hears of the window's unloading once, whichever way it comes: the close box, the
// end of the session, or the logic itself unloading the window.
void MainWindow::FireUnloadOnce() {
  if (unloadFired_) return;
  unloadFired_ = true;
  if (events_) events_->Form_Unload();
}

HWND MainWindow::ControlWindow(platform::Control control) const {
  if (control == platform::Control::Form) return hwnd_;
  return controls_[static_cast<int>(control)];
}

int MainWindow::RunMessageLoop() {
  MSG msg;
  BOOL got;
  while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
    if (got == -1) return 1;
    // The dialog manager gives the window Tab between the buttons and Enter for the default.
    if (hwnd_ && IsDialogMessageA(hwnd_, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}

void MainWindow::SetText(platform::Control control, const std::string& text) {
  if (HWND window = ControlWindow(control)) SetWindowTextA(window, win32::Utf8ToAnsi(text).c_str());
}

std::string MainWindow::GetText(platform::Control control) {
  HWND window = ControlWindow(control);
  if (!window) return {};
  int length = GetWindowTextLengthA(window);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  int copied = GetWindowTextA(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
  return win32::AnsiToUtf8(text);
}

void MainWindow::SetEnabled(platform::Control control, bool enabled) {
  if (HWND window = ControlWindow(control)) EnableWindow(window, enabled ? TRUE : FALSE);
}

bool MainWindow::IsEnabled(platform::Control control) {
  HWND window = ControlWindow(control);
  return window && IsWindowEnabled(window);
}

void MainWindow::SetVisible(platform::Control control, bool visible) {
  if (control == platform::Control::Form) {
    visible ? Show() : Hide();
    return;
  }
  if (HWND window = ControlWindow(control)) ShowWindow(window, visible ? SW_SHOW : SW_HIDE);
}

bool MainWindow::IsVisible(platform::Control control) {
  HWND window = ControlWindow(control);
  if (!window) return false;
  // A control counts as shown by its own flag, as the window's design sees it, even while the
  // window itself is hidden.
  return (GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

void MainWindow::Show() {
  if (!hwnd_) return;
  ShowWindow(hwnd_, SW_SHOW);
  UpdateWindow(hwnd_);
  SetForegroundWindow(hwnd_);
  if (lastFocus_ && IsWindowEnabled(lastFocus_)) SetFocus(lastFocus_);
}

void MainWindow::Hide() {
  if (hwnd_) ShowWindow(hwnd_, SW_HIDE);
}

void MainWindow::Unload() {
  if (!hwnd_) return;
  FireUnloadOnce();
  if (hwnd_) DestroyWindow(hwnd_);
}

bool MainWindow::IsLoaded() {
  return hwnd_ != nullptr;
}

}  // namespace dravlin::app
