// The key-file search of the second DOS step: a key file of any bytes. The DLL path taken is
// the text from the first occurrence of the system directory (any letter case) to three
// characters after the next dot, trimmed of blanks, or nothing when either is missing or the
// span is negative. The key file is gone afterwards unless what that path names (up to its first
// NUL) is still on disk: while it is, the file is the only record of the path.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "sim/run/simrun.h"

using namespace dravlin;

namespace {

constexpr const char* kKeyFile = "C:\\HjRuOn.txt";
constexpr const char* kDll = "C:\\WINDOWS\\SYSTEM\\QZHOOK.DLL";

// 0-based position of an ASCII pattern, ignoring the case of ASCII letters, or npos.
std::size_t FindNoCase(const std::string& text, const std::string& pattern) {
  const auto Lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  const auto at = std::search(text.begin(), text.end(), pattern.begin(), pattern.end(),
                              [&](char a, char b) { return Lower(a) == Lower(b); });
  return at == text.end() && !pattern.empty() ? std::string::npos : at - text.begin();
}

std::string TrimBlanks(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::string ExpectedPath(const std::string& text, const std::string& systemDir) {
  const std::size_t at = FindNoCase(text, systemDir);
  if (at == std::string::npos) return {};
  const std::size_t dot = text.find('.', at);
  const auto pos = static_cast<std::int64_t>(at) + 1;
  const std::int64_t pos1 = dot == std::string::npos ? 0 : static_cast<std::int64_t>(dot) + 1;
  const std::int64_t length = pos1 - pos + 4;
  if (length < 0) return {};
  return TrimBlanks(text.substr(at, static_cast<std::size_t>(length)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string image(reinterpret_cast<const char*>(data), size);
  fuzz::FuzzMachine machine("win98", [](sim::Machine& m) { m.WriteFile(kDll, "MZ"); });
  sim::Machine& m = machine.m();
  m.WriteFile(kKeyFile, image);
  m.Boot();

  simrun::Session session(m);
  session.Click(platform::Control::CB_start);
  const std::string taken = session.form().HijackDllPath();
  session.Close();

  fuzz::Check(taken == ExpectedPath(image, m.SystemDirectory()), "the DLL path taken: " + taken);
  const std::string left = taken.substr(0, taken.find('\0'));
  const bool onDisk = !left.empty() && (m.FileExists(left) || m.FolderExists(left));
  fuzz::Check(m.FileExists(kKeyFile) == onDisk,
              onDisk ? "the key file went while its DLL stays" : "the key file is deleted");
  return 0;
}
