// dravlin-sim's command line and its usage text.
#include <string>
#include <vector>

#include "app/rehearsal/rehearsal.h"
#include "sim/machine.h"
#include "sim/persist/export_machine.h"
#include "sim/persist/machine_folder.h"

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
  return "Usage: dravlin-sim [MACHINE_DIR | EXPORT.reg] [options]\n"
         "\n"
         "Runs Dravlin on a simulated Windows machine as a user would and prints what happened.\n"
         "Without MACHINE_DIR the built-in machine runs: an infected Windows XP (English).\n"
         "A machine folder holds machine.json, registry.reg and c/ (drive C:); it is never\n"
         "changed by the run. A registry export (regedit /e, REGEDIT4 or Version 5.00) is a\n"
         "machine too: its version, language and user's keys are read from it, the files its\n"
         "registry names are placed on C:, and the transcript's header says what was assumed.\n"
         "\n"
         "Options:\n"
         "  --clicks LIST  the clicks to make, in order, across restarts (default\n"
         "                 start,start,close); each is start or close\n"
         "  --lang de|en   run with a German or an English user language\n"
         "  --os NAME      run as another Windows: win95, win98, win98se, winme, nt4,\n"
         "                 win2000, winxp, win2003, vista\n"
         "  --out DIR      write the machine after the run (machine.json, registry.reg as\n"
         "                 REGEDIT4, or Version 5.00 where a name needs it, c/) into DIR,\n"
         "                 which must be empty or a machine folder\n"
         "  --json         print the run as one JSON document instead of the transcript\n"
         "                 (docs/rehearsal-exports.md, docs/rehearsal.schema.json)\n"
         "  --help         show this text\n"
         "\n"
         "For an export only:\n"
         "  --clock YYYY-MM-DDTHH:MM:SS  the clock (default: the export file's time, UTC)\n"
         "  --admin yes|no               the user's administrator right (default yes)\n"
         "  --hijacker-dll PATH          the DLL whose path a loaded hijacker hides in the\n"
         "                               export; the machine holds it and hides it again\n"
         "  --user SID|NAME              the user's hive in HKEY_USERS to run as\n"
         "                               HKEY_CURRENT_USER\n"
         "  --exe-path PATH              the program's path (default\n"
         "                               C:\\Program Files\\Dravlin\\dravlin.exe)\n"
         "  --system-dir PATH            the system folder (default: the version's)\n"
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
    } else if (arg == "--json" && !hasValue) {
      r.options.json = true;
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
    } else if (arg == "--clock") {
      if (!take()) return r;
      platform::SystemTime t{};
      if (!sim::persist::ParseClockText(value, &t)) {
        r.error = "--clock: expected YYYY-MM-DDTHH:MM:SS, found '" + value + "'";
        return r;
      }
      r.options.clock = value;
    } else if (arg == "--admin") {
      if (!take()) return r;
      value = sim::persist::LowerAscii(value);
      if (value != "yes" && value != "no") {
        r.error = "--admin: expected yes or no, found '" + value + "'";
        return r;
      }
      r.options.admin = value == "yes";
    } else if (arg == "--hijacker-dll" || arg == "--user" || arg == "--exe-path" ||
               arg == "--system-dir") {
      if (!take()) return r;
      if (value.empty()) {
        r.error = arg + " needs a value";
        return r;
      }
      auto& field = arg == "--hijacker-dll" ? r.options.hijackerDll
                    : arg == "--user"       ? r.options.user
                    : arg == "--exe-path"   ? r.options.exePath
                                            : r.options.systemDirectory;
      field = value;
    } else if (arg.rfind('-', 0) == 0 && arg.size() > 1) {
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
