// The .reg reader: any bytes are either refused with a FormatError or read into a model that
// each writer (where its format can carry it) turns into a file that reads back to the same
// model, and that a machine takes without complaint.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "regfile/regfile.h"
#include "sim/persist/machine_folder.h"

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

  // Names with characters Windows-1252 lacks go to Version 5.00, which carries them.
  try {
    const std::string unicode = regfile::WriteVersion5(parsed);
    const regfile::RegFile back = regfile::ParseRegFile(unicode, "written5.reg");
    fuzz::Check(back.keys == parsed.keys,
                "a written Version 5.00 file reads back to another model");
  } catch (const regfile::WriteError&) {
    // a line break in a name
  } catch (const regfile::FormatError& e) {
    fuzz::Fail(std::string("the Version 5.00 writer's own output is refused: ") + e.what());
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
