// inspector.exe [--wait MS] [--prefix] TITLE
// Test helper for the Wine suite: finds the top-level window titled TITLE (or whose title begins
// with it, with --prefix), waiting up to MS milliseconds for it to appear, and prints the window
// and each of its child controls on one line of tab-separated key=value fields, in UTF-8:
//   window  title=... visible=1 enabled=1 size=W,H client=W,H
//   control class=Button id=112 text=... visible=1 enabled=1 rect=X,Y,W,H at=X,Y
//           default=0|1 focus=0|1 tabstop=0|1
// rect is in client pixels; at is the control's centre relative to the window's outer top-left
// corner (what a pointer driver such as xdotool clicks). Texts escape \, CR, LF and tab.
// Exit status: 0 found, 1 not found, 2 usage.
#include <cstdlib>
#include <cwchar>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                        nullptr, nullptr);
  }
  return out;
}

std::string Escaped(const std::wstring& text) {
  std::string out;
  for (char c : Utf8(text)) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::wstring WindowText(HWND window) {
  int length = GetWindowTextLengthW(window);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  int copied = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
  return text;
}

void Write(const std::string& line) {
  DWORD written = 0;
  std::string out = line + "\n";
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written,
            nullptr);
}

struct Search {
  std::wstring title;
  bool prefix = false;
  HWND found = nullptr;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  std::wstring text = WindowText(window);
  bool match = search->prefix ? text.compare(0, search->title.size(), search->title) == 0
                              : text == search->title;
  if (!match) return TRUE;
  search->found = window;
  return FALSE;
}

struct Report {
  HWND top;
  HWND focus;
};

BOOL CALLBACK PrintChild(HWND child, LPARAM param) {
  auto* report = reinterpret_cast<Report*>(param);
  wchar_t className[64] = {};
  GetClassNameW(child, className, 64);
  LONG style = GetWindowLongW(child, GWL_STYLE);
  RECT rect{};
  GetWindowRect(child, &rect);
  RECT outer{};
  GetWindowRect(report->top, &outer);
  POINT corner{rect.left, rect.top};
  ScreenToClient(report->top, &corner);
  int width = rect.right - rect.left;
  int height = rect.bottom - rect.top;
  int atX = rect.left - outer.left + width / 2;
  int atY = rect.top - outer.top + height / 2;
  bool isButton = _wcsicmp(className, L"Button") == 0;
  bool isDefault = isButton && (style & 0x0F) == BS_DEFPUSHBUTTON;
  Write("control\tclass=" + Utf8(className) + "\tid=" + std::to_string(GetDlgCtrlID(child)) +
        "\ttext=" + Escaped(WindowText(child)) + "\tvisible=" + ((style & WS_VISIBLE) ? "1" : "0") +
        "\tenabled=" + (IsWindowEnabled(child) ? "1" : "0") + "\trect=" + std::to_string(corner.x) +
        "," + std::to_string(corner.y) + "," + std::to_string(width) + "," +
        std::to_string(height) + "\tat=" + std::to_string(atX) + "," + std::to_string(atY) +
        "\tdefault=" + (isDefault ? "1" : "0") + "\tfocus=" + (child == report->focus ? "1" : "0") +
        "\ttabstop=" + ((style & WS_TABSTOP) ? "1" : "0"));
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Search search;
  DWORD waitMs = 0;
  int i = 1;
  for (; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--wait" && i + 1 < argc) {
      waitMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
    } else if (arg == L"--prefix") {
      search.prefix = true;
    } else {
      break;
    }
  }
  if (i + 1 != argc) {
    Write("usage: inspector [--wait MS] [--prefix] TITLE");
    return 2;
  }
  search.title = argv[i];

  DWORD start = GetTickCount();
  for (;;) {
    EnumWindows(&MatchTopLevel, reinterpret_cast<LPARAM>(&search));
    if (search.found || GetTickCount() - start >= waitMs) break;
    Sleep(100);
  }
  if (!search.found) return 1;

  HWND top = search.found;
  RECT outer{};
  GetWindowRect(top, &outer);
  RECT client{};
  GetClientRect(top, &client);
  Write("window\ttitle=" + Escaped(WindowText(top)) + "\tvisible=" +
        (IsWindowVisible(top) ? "1" : "0") + "\tenabled=" + (IsWindowEnabled(top) ? "1" : "0") +
        "\tsize=" + std::to_string(outer.right - outer.left) + "," +
        std::to_string(outer.bottom - outer.top) + "\tclient=" + std::to_string(client.right) +
        "," + std::to_string(client.bottom));

  // The focus belongs to the window's own thread; ask that thread.
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  DWORD thread = GetWindowThreadProcessId(top, nullptr);
  HWND focus = GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
  Report report{top, focus};
  EnumChildWindows(top, &PrintChild, reinterpret_cast<LPARAM>(&report));
  return 0;
}
