// A machine inferred from an arbitrary export: the first byte chooses which options are given,
// the rest is the .reg file. Any input either is refused with a FormatError that says why (and,
// without --os, asks for it when the version keys are missing) or gives a machine that holds
// what the options said and boots; nothing crashes or hangs.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "regfile/regfile.h"
#include "sim/persist/export_machine.h"

using namespace dravlin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  sim::persist::ExportOptions options;
  if (flags & 1) options.os = (flags & 2) ? "win98" : "winxp";
  if (flags & 4)
    options.hijackerDll =
        "C:\\WINDOWS\\system32\\qz\xFC"
        "ber.dll";
  if (flags & 8) options.user = (flags & 16) ? "S-1-5-21-1-2-3-1003" : ".DEFAULT";
  if (flags & 32) options.lang = "de";
  options.clock = platform::SystemTime{2026, 12, 0, 6, 10, 15, 0, 0};
  if (flags & 64) options.admin = false;

  regfile::ReadOptions read;
  read.skipOtherRoots = true;
  regfile::RegFile file;
  try {
    file = regfile::ParseRegFile(bytes, "export.reg", read);
  } catch (const regfile::FormatError& e) {
    fuzz::Check(!e.expected().empty(), "a refusal says why");
    return 0;
  }
  sim::Machine m;
  sim::persist::Inference inference;
  try {
    sim::persist::InferMachine(file, m, options, &inference, "export.reg");
  } catch (const regfile::FormatError& e) {
    const std::string why = e.what();
    fuzz::Check(!e.expected().empty(), "a refusal says why");
    fuzz::Check(options.os || why.find("--os") != std::string::npos ||
                    why.find("--user") != std::string::npos,
                "a refusal names the option that would help: " + why);
    return 0;
  }
  fuzz::Check(!inference.items.empty(), "the header says what the machine was given");
  if (options.hijackerDll) {
    fuzz::Check(m.Hijacker() && m.Hijacker()->dllPath == *options.hijackerDll,
                "--hijacker-dll names the machine's hijacker");
    fuzz::Check(m.FileExists(*options.hijackerDll), "the hijacker's DLL is on the drive");
  }
  fuzz::Check(m.FileExists(m.ExePath()), "the program is on the drive");
  (void)m.Boot();
  return 0;
}
