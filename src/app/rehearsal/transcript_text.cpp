// The readable names and texts of the transcript.
#include "app/rehearsal/transcript_text.h"

#include <cstdio>

#include "platform/ansi_names.h"

namespace dravlin::rehearsal {

namespace {

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(v));
  return buf;
}

struct VersionName {
  const char* preset;
  const char* display;
};
constexpr VersionName kVersionNames[] = {
    {"win31", "Windows 3.1 with Win32s"},
    {"win95", "Windows 95"},
    {"win98", "Windows 98"},
    {"win98se", "Windows 98 SE"},
    {"winme", "Windows ME"},
    {"nt4", "Windows NT 4.0"},
    {"win2000", "Windows 2000"},
    {"winxp", "Windows XP"},
    {"win2003", "Windows Server 2003"},
    {"vista", "Windows Vista"},
};

}  // namespace

std::string AnsiToUtf8(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes)
    platform::AppendUtf8(out, platform::Cp1252ToUnicode(static_cast<unsigned char>(c)));
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c == '\n') {
      out.emplace_back();
    } else if (c == '\0') {
      out.back() += "\\0";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(c));
      out.back() += buf;
    } else {
      out.back().push_back(c);
    }
  }
  return out;
}

std::string DescribeVersion(const sim::VersionSettings& v) {
  std::string name = "an unnamed Windows";
  for (const auto& n : kVersionNames) {
    const auto p = sim::VersionPreset(n.preset);
    if (p && p->platformId == v.platformId && p->major == v.major && p->minor == v.minor &&
        p->build == v.build) {
      name = std::string(n.display) + " (" + n.preset + ")";
      break;
    }
  }
  const std::uint32_t build =
      v.platformId == platform::VER_PLATFORM_WIN32_NT ? v.build : v.build & 0xFFFF;
  std::string out = name + ", " + std::to_string(v.major) + "." + std::to_string(v.minor) +
                    " build " + std::to_string(build);
  std::string csd = v.csd;
  csd.erase(0, csd.find_first_not_of(' '));
  csd.erase(csd.find_last_not_of(' ') + 1);
  if (!csd.empty()) out += " " + csd;
  out += v.platformId == platform::VER_PLATFORM_WIN32_NT ? ", NT-based" : ", DOS-based";
  return out;
}

std::string IconName(std::uint32_t style) {
  switch (style & 0xF0) {
    case 0x10:
      return "stop icon";
    case 0x20:
      return "question icon";
    case platform::MB_ICONEXCLAMATION:
      return "exclamation icon";
    case platform::MB_ICONINFORMATION:
      return "information icon";
    default:
      return "no icon";
  }
}

std::string ExitFlags(std::uint32_t flags) {
  std::string names;
  const auto add = [&](const char* n) { names += std::string(names.empty() ? "" : " | ") + n; };
  if ((flags & 3) == platform::EWX_LOGOFF) add("EWX_LOGOFF");
  if (flags & platform::EWX_SHUTDOWN) add("EWX_SHUTDOWN");
  if (flags & platform::EWX_REBOOT) add("EWX_REBOOT");
  if (flags & platform::EWX_FORCE) add("EWX_FORCE");
  if (flags & platform::EWX_POWEROFF) add("EWX_POWEROFF");
  return Hex(flags) + " (" + names + ")";
}

}  // namespace dravlin::rehearsal
