// The Internet Explorer page values: read and decode them, find the DLL name that a hijacked
// page points into, and delete the values that point at the hijacker's page.
#include <algorithm>
#include <array>
#include <cctype>
#include <string>

#include "platform/types.h"
#include "workflow/frmGetAll.h"
#include "workflow/names.h"
#include "workflow/runtime.h"
#include "workflow/texts.h"

namespace dravlin {

namespace {

constexpr std::array<IePageEntry, kIePageRows> kIePages = {{
    {"\\Main", "Search Bar"},
    {"\\Main", "Search Page"},
    {"\\Main", "SearchAssistant"},
    {"\\Main", "Start Page"},
    {"\\Main", "Default_Page_URL"},
    {"\\Main", "Default_Search_URL"},
    {"\\Main", "HomeOldQZ"},
    {"", "SearchURL"},
    {"\\Search", "SearchAssistant"},
    {"\\Search", "CustomizeSearch"},
    {"\\SearchURL", "\"\""},
    {"", "SearchAssistant"},
    {"", "CustomizeSearch"},
}};

constexpr std::array<platform::HKey, 2> kIeRoots = {platform::HKEY_CURRENT_USER,
                                                    platform::HKEY_LOCAL_MACHINE};

std::string RootLabel(platform::HKey root) {
  return root == platform::HKEY_CURRENT_USER ? "HKCU" : "HKLM";
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string frmGetAll::UrlDecode(const std::string& text) {
  // One pass from left to right: a character that decoding produced is never looked at again.
  const std::string s = rt::Trim(text);
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    if (s[i] != '%') {
      out += s[i++];
      continue;
    }
    int value = 0;
    std::size_t digits = 0;
    while (digits < 2 && i + 1 + digits < s.size()) {
      const int digit = HexValue(s[i + 1 + digits]);
      if (digit < 0) break;
      value = value * 16 + digit;
      ++digits;
    }
    // A "%" without a hexadecimal digit after it is plain text.
    out += digits > 0 ? static_cast<char>(value) : '%';
    i += 1 + digits;
  }
  return out;
}

std::int64_t frmGetAll::FindText(const std::string& text, const std::string& pattern,
                                 bool fromEnd) {
  return fromEnd ? rt::InStrRev(text, pattern, -1, true) : rt::InStr(1, text, pattern, true);
}

bool frmGetAll::RepairIePages(bool deleteBad) {
  if (deleteBad) Log(" Bad IE-pages found:");
  // One buffer each for the 26 key paths and value names: built in place, they are allocated
  // once per repair.
  std::string keyPath;
  std::string valueName;
  for (std::size_t k = 0; k < kIeRoots.size(); ++k) {
    const platform::HKey root = kIeRoots[k];
    const std::size_t base = k * kIePageRows;
    for (std::size_t r = 0; r < kIePageRows; ++r) {
      valueName.assign(kIePages[r].ValueName);
      keyPath.assign(names::kIeKey).append(kIePages[r].SubKey);
      const std::string value = UrlDecode(reg_.ReadRegValue(root, keyPath, valueName).AsText());
      if (!deleteBad) {
        IePageValues_[base + r] = value;
      } else if (FindText(value, names::kBadPage, false) > 0) {
        // A value that could not be kept stays; the check after the pass names it.
        std::string item = "IE-" + RootLabel(root);
        item.append(kIePages[r].SubKey).append("-").append(valueName);
        std::replace(item.begin(), item.end(), '\\', '-');
        if (!BackUpValue(root, keyPath, valueName, item)) {
          continue;
        }
        (void)reg_.DeleteRegValue(root, keyPath, valueName);
        const std::string& stored = IePageValues_[base + r];
        WriteLog("deleted: " + RootLabel(root) + "\\" + keyPath + ", " + valueName + ": " +
                 (stored == names::kUnreadable ? std::string("not found") : stored));
      }
    }
  }
  return !deleteBad || PagesGone();
}

bool frmGetAll::PagesGone() {
  // Asked again: the deletion line is written whether or not the value went, and a value that
  // could not be read was never judged.
  bool gone = true;
  std::string keyPath;
  std::string valueName;
  for (const platform::HKey root : kIeRoots) {
    for (const IePageEntry& row : kIePages) {
      valueName.assign(row.ValueName);
      keyPath.assign(names::kIeKey).append(row.SubKey);
      const Presence presence = ValuePresence(root, keyPath, valueName);
      if (presence == Presence::Gone) continue;
      if (presence == Presence::There &&
          FindText(UrlDecode(reg_.ReadRegValue(root, keyPath, valueName).AsText()), names::kBadPage,
                   false) == 0) {
        continue;
      }
      Log(texts::LeftOverLogLine(German(), RootLabel(root) + "\\" + keyPath + ", " + valueName));
      gone = false;
    }
  }
  return gone;
}

void frmGetAll::GetPageDllName() {
  for (const std::string& value : IePageValues_) {
    const std::int64_t p = FindText(value, names::kBadPage, true);
    if (p <= 1) continue;
    const std::int64_t b = rt::InStrRev(value, "\\", p - 1, true);
    if (b <= 0) continue;
    PageDllName_ = rt::Mid(value, b + 1, p - 1 - b);
    return;
  }
}

}  // namespace dravlin
