// probe.exe --serve DIR     answers requests through files (below)
// probe.exe --detach DIR    starts "--serve DIR" as a separate process and returns at once
//
// Window reader for the Wine suite. After Wine restarts a prefix, every process started from
// outside waits until the programs of the RunOnce key have ended, so the suite cannot start a
// reader beside the program that RunOnce started; a server started from RunOnce itself (--detach
// returns at once so that the next entry runs) lives inside the prefix instead. The suite writes
// DIR\request (one line: "[prefix ]TITLE"); the server deletes it, finds the
// top-level window titled TITLE (or whose title begins with it) and writes DIR\response:
// "found" or "missing", then the window and each child control on a line of tab-separated
// key=value fields, in UTF-8:
//   window  title=... enabled=1 client=W,H
//   control class=Button id=112 text=... visible=1 enabled=1 rect=X,Y,W,H at=X,Y
//           default=0|1 focus=0|1 tabstop=0|1
// rect is in client pixels; at is the control's centre relative to the window's outer top-left
// corner (what a pointer driver such as xdotool clicks). Texts escape \, CR, LF and tab.
#include <cstdio>
#include <cwchar>
#include <string>

#include "platform/win32/win32.h"  // before <windows.h>, whose macros would rename its constants

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

std::string Escaped(const std::wstring& text) {
  std::string out;
  for (char c : dravlin::win32::WideToUtf8(text)) {
    const char* escape = c == '\\'   ? "\\\\"
                         : c == '\r' ? "\\r"
                         : c == '\n' ? "\\n"
                         : c == '\t' ? "\\t"
                                     : nullptr;
    out += escape ? std::string(escape) : std::string(1, c);
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
  std::string text;
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
  report->text +=
      ("control\tclass=" + dravlin::win32::WideToUtf8(className) +
       "\tid=" + std::to_string(GetDlgCtrlID(child)) + "\ttext=" + Escaped(WindowText(child)) +
       "\tvisible=" + ((style & WS_VISIBLE) ? "1" : "0") +
       "\tenabled=" + (IsWindowEnabled(child) ? "1" : "0") + "\trect=" + std::to_string(corner.x) +
       "," + std::to_string(corner.y) + "," + std::to_string(width) + "," + std::to_string(height) +
       "\tat=" + std::to_string(atX) + "," + std::to_string(atY) +
       "\tdefault=" + (isDefault ? "1" : "0") + "\tfocus=" + (child == report->focus ? "1" : "0") +
       "\ttabstop=" + ((style & WS_TABSTOP) ? "1" : "0") + "\n");
  return TRUE;
}

std::string Inspect(HWND top) {
  RECT client{};
  GetClientRect(top, &client);
  // The focus belongs to the window's own thread; ask that thread.
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  DWORD thread = GetWindowThreadProcessId(top, nullptr);
  HWND focus = GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
  Report report{top, focus, {}};
  report.text = "window\ttitle=" + Escaped(WindowText(top)) +
                "\tenabled=" + (IsWindowEnabled(top) ? "1" : "0") +
                "\tclient=" + std::to_string(client.right) + "," + std::to_string(client.bottom) +
                "\n";
  EnumChildWindows(top, &PrintChild, reinterpret_cast<LPARAM>(&report));
  return report.text;
}

int Serve(const std::wstring& dir) {
  const std::wstring request = dir + L"\\request";
  const std::wstring response = dir + L"\\response";
  const std::wstring pending = dir + L"\\response.tmp";
  // Ends by itself after ten minutes, so that a suite that died leaves nothing running.
  for (DWORD start = GetTickCount(); GetTickCount() - start < 600000; Sleep(50)) {
    HANDLE in = CreateFileW(request.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) continue;
    char buffer[1024] = {};
    DWORD got = 0;
    ReadFile(in, buffer, sizeof buffer - 1, &got, nullptr);
    CloseHandle(in);
    DeleteFileW(request.c_str());
    std::string line(buffer, got);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    Search search;
    if (line.rfind("prefix ", 0) == 0) {
      search.prefix = true;
      line.erase(0, 7);
    }
    search.title = dravlin::win32::Utf8ToWide(line);
    EnumWindows(&MatchTopLevel, reinterpret_cast<LPARAM>(&search));
    HWND top = search.found;
    std::string answer = top ? "found\n" + Inspect(top) : "missing\n";
    HANDLE out = CreateFileW(pending.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) continue;
    DWORD written = 0;
    WriteFile(out, answer.data(), static_cast<DWORD>(answer.size()), &written, nullptr);
    CloseHandle(out);
    MoveFileExW(pending.c_str(), response.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  return 0;
}

int Detach(const std::wstring& dir) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --serve \"" + dir + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                      nullptr, &startup, &process)) {
    return 1;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"--serve") return Serve(argv[2]);
  if (argc == 3 && std::wstring(argv[1]) == L"--detach") return Detach(argv[2]);
  std::fputs("usage: probe --serve DIR | --detach DIR\n", stderr);
  return 2;
}
