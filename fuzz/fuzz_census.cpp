// The stealth-value census, driven through a machine: AppInit_DLLs of any type and bytes. The
// first step parks the key exactly when the value reads as more than three characters that are
// all NUL or blank; otherwise it reports not infected and changes nothing.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "sim/run/simrun.h"

using namespace dravlin;
using platform::HKEY_LOCAL_MACHINE;

namespace {
constexpr const char* kLive = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
constexpr const char* kParked = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Windows_Hijacked";
constexpr std::uint32_t kTypes[] = {
    platform::REG_SZ,    platform::REG_EXPAND_SZ, platform::REG_BINARY, platform::REG_MULTI_SZ,
    platform::REG_DWORD, platform::REG_NONE,      platform::REG_LINK,   11 /* REG_QWORD */};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint32_t type = kTypes[data[0] % std::size(kTypes)];
  const std::string value(reinterpret_cast<const char*>(data) + 1, size - 1);

  fuzz::FuzzMachine machine("winxp");
  sim::Machine& m = machine.m();
  m.SetValue(HKEY_LOCAL_MACHINE, kLive, "AppInit_DLLs", type, value);
  m.SetString(HKEY_LOCAL_MACHINE, kLive, "Spooler", "yes");
  m.Boot();

  simrun::Session session(m);
  session.Click(platform::Control::CB_start);
  session.Close();

  const std::string text = fuzz::ReadForm(type, value);
  const bool stealth = text.size() > 3 && std::all_of(text.begin(), text.end(),
                                                      [](char c) { return c == '\0' || c == ' '; });
  fuzz::Check(m.KeyExists(HKEY_LOCAL_MACHINE, kParked) == stealth,
              stealth ? "a stealth value was not parked" : "a readable value was parked");
  const char* home = stealth ? kParked : kLive;
  fuzz::Check(m.GetValue(HKEY_LOCAL_MACHINE, home, "AppInit_DLLs") == sim::RegValue{type, value},
              "the value changed on its way");
  fuzz::Check(m.KeyExists(HKEY_LOCAL_MACHINE, kLive) == !stealth, "the live key's fate");
  return 0;
}
