// dravlin-sim's command line and its usage text.
#include <string>
#include <vector>

#include "app/rehearsal/rehearsal.h"
#include "platform/sim/machine.h"
#include "platform/sim/persist/machine_folder.h"

namespace dravlin::rehearsal {

namespace {

std::vector<std::string> SplitList(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t comma = s.find(',', start);
    if (comma == std::string::npos) comma = s.size();
    std::string item = s.substr(start, comma - start);
    item.erase(0, item.find_first_not_of(' '));
    item.erase(item.find_last_not_of(' ') + 1);
    if (!item.empty()) out.push_back(sim::persist::LowerAscii(item));
    start = comma + 1;
  }
  return out;
}

}  // namespace

std::string Usage() {
  return "Usage: dravlin-sim [MACHINE_DIR] [options]\n"
         "\n"
         "Runs Dravlin on a simulated Windows machine as a user would and prints what happened.\n"
         "Without MACHINE_DIR the built-in machine runs: an infected Windows XP (English).\n"
         "A machine folder holds machine.json, registry.reg and c/ (drive C:); it is never\n"
         "changed by the run.\n"
         "\n"
         "Options:\n"
         "  --clicks LIST  the clicks to make, in order, across restarts (default\n"
         "                 start,start,close); each is start or close\n"
         "  --lang de|en   run with a German or an English user language\n"
         "  --os NAME      run as another Windows: win95, win98, win98se, winme, nt4,\n"
         "                 win2000, winxp, win2003, vista\n"
         "  --out DIR      write the machine after the run (machine.json, registry.reg as\n"
         "                 REGEDIT4, c/) into DIR, which must be empty or a machine folder\n"
         "  --help         show this text\n"
         "\n"
         "Exit status: 0 when the run ended in an outcome the transcript shows, 1 when the\n"
         "program ended abnormally, 2 for a bad command line or machine (nothing is written).\n";
}

ParsedArgs ParseArgs(const std::vector<std::string>& args) {
  ParsedArgs r;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::string value;
    bool hasValue = false;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      value = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
      hasValue = true;
    }
    const auto take = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= args.size()) {
        r.error = arg + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      r.help = true;
    } else if (arg == "--clicks") {
      if (!take()) return r;
      r.options.clicks = SplitList(value);
      for (const std::string& c : r.options.clicks) {
        if (c != "start" && c != "close") {
          r.error = "unknown click '" + c + "' (expected start or close)";
          return r;
        }
      }
    } else if (arg == "--lang") {
      if (!take()) return r;
      value = sim::persist::LowerAscii(value);
      if (value != "de" && value != "en") {
        r.error = "unknown language '" + value + "' (expected de or en)";
        return r;
      }
      r.options.lang = value;
    } else if (arg == "--os") {
      if (!take()) return r;
      if (!sim::VersionPreset(value)) {
        std::string known;
        for (const auto& n : sim::VersionPresetNames()) known += (known.empty() ? "" : ", ") + n;
        r.error = "unknown Windows version '" + value + "' (known: " + known + ")";
        return r;
      }
      r.options.os = sim::persist::LowerAscii(value);
    } else if (arg == "--out") {
      if (!take()) return r;
      if (value.empty()) {
        r.error = "--out needs a folder";
        return r;
      }
      r.options.outDir = value;
    } else if (arg.rfind("-", 0) == 0 && arg.size() > 1) {
      r.error = "unknown option '" + arg + "'";
      return r;
    } else if (!r.options.machineDir) {
      r.options.machineDir = arg;
    } else {
      r.error = "more than one machine folder given";
      return r;
    }
  }
  return r;
}

}  // namespace dravlin::rehearsal
