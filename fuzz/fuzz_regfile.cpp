// The .reg reader: any bytes are either refused with a FormatError or read into a model that
// the writer (where it can carry it) turns into a file that reads back to the same model, and
// that a machine takes without complaint.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "platform/sim/persist/machine_folder.h"
#include "regfile/regfile.h"

using namespace dravlin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  regfile::RegFile parsed;
  try {
    parsed = regfile::ParseRegFile(bytes, "input.reg");
  } catch (const regfile::FormatError& e) {
    fuzz::Check(!std::string(e.what()).empty(), "a refusal says why");
    return 0;
  }

  std::string written;
  try {
    written = regfile::WriteRegedit4(parsed);
  } catch (const regfile::WriteError&) {
    return 0;  // something the older format cannot carry
  }
  regfile::RegFile again;
  try {
    again = regfile::ParseRegFile(written, "written.reg");
  } catch (const regfile::FormatError& e) {
    fuzz::Fail(std::string("the writer's own output is refused: ") + e.what());
  }
  fuzz::Check(again.keys == parsed.keys, "a written file reads back to another model");

  fuzz::FuzzMachine machine("winxp");
  try {
    sim::persist::ApplyRegistry(parsed, machine.m());
  } catch (const regfile::FormatError&) {
    // A path with an unknown root is refused when applied.
  }
  return 0;
}
