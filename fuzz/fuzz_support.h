// Shared by the fuzz targets: a simulated machine as new for each input, and checks that turn a
// broken property into a finding (an abort that libFuzzer reports with the input).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/machine.h"

namespace dravlin::fuzz {

// A machine of the version with the program, its system folder, the keys every Windows has and
// what `setup` adds; not booted. Set up once per process (drive C: in memory), it is put back
// when this object ends: an input sees nothing an earlier one left.
class FuzzMachine {
 public:
  explicit FuzzMachine(const char* preset, void (*setup)(sim::Machine&) = nullptr);
  ~FuzzMachine();
  FuzzMachine(const FuzzMachine&) = delete;
  sim::Machine& m() { return machine_; }

 private:
  sim::Machine& machine_;
};

[[noreturn]] void Fail(const std::string& what);
inline void Check(bool ok, const std::string& what) {
  if (!ok) Fail(what);
}

// The input cut at each byte equal to separator (at most `limit` parts; the last takes the rest).
std::vector<std::string> Split(std::string_view input, char separator, std::size_t limit);

// What the registry module hands back for a value of this type and data: strings as their
// bytes plus the one blank the read leaves after them, 32-bit numbers as decimal text, and
// nothing for types it does not know.
std::string ReadForm(std::uint32_t type, const std::string& data);

}  // namespace dravlin::fuzz
