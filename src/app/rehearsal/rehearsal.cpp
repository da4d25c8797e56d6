// The run: boots, clicks and restarts of the program on a machine, told as they happen.
#include "app/rehearsal/rehearsal.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "app/rehearsal/machine_changes.h"
#include "app/rehearsal/report_json.h"
#include "app/rehearsal/transcript_text.h"
#include "platform/ansi_names.h"
#include "sim/machine.h"
#include "sim/persist/export_machine.h"
#include "sim/persist/machine_folder.h"
#include "sim/run/simrun.h"
#include "system/modIsAdmin.h"

namespace dravlin::rehearsal {

namespace fs = std::filesystem;
using platform::Control;
using sim::Machine;

// The built-in machine's files, embedded at build time from machines/default.
struct EmbeddedFile {
  const char* path;  // relative, "/"-separated
  const unsigned char* bytes;
  std::size_t size;
};
std::vector<EmbeddedFile> DefaultMachineFiles();

namespace {

constexpr const char* kProgramName = "dravlin-sim";

bool IsAdministrator(const Machine& m) {
  const auto admin = Machine::AdminSid();
  return std::any_of(m.TokenGroups().begin(), m.TokenGroups().end(), [&](const auto& g) {
    return g.Sid == admin && (g.Attributes & platform::SE_GROUP_ENABLED) != 0 &&
           (g.Attributes & platform::SE_GROUP_USE_FOR_DENY_ONLY) == 0;
  });
}

// One line on err, rewritten in place, saying how far reading a large registry has come. Quiet
// until `after` has passed, so that an ordinary machine loads without a flicker.
class ProgressLine {
 public:
  ProgressLine(std::ostream& err, std::string file, std::chrono::milliseconds after)
      : err_(err), file_(std::move(file)), start_(Clock::now()), after_(after) {}
  ~ProgressLine() {
    if (width_ > 0) err_ << '\r' << std::string(width_, ' ') << '\r' << std::flush;
  }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void Show(std::string_view stage, std::uint64_t done, std::uint64_t total) {
    const auto now = Clock::now();
    if (now - start_ < after_ || (width_ > 0 && now - last_ < std::chrono::milliseconds(100))) {
      return;
    }
    last_ = now;
    const bool keys = stage == "loading";
    const auto amount = [&](std::uint64_t n) {
      return keys ? std::to_string(n) : std::to_string(n / 1000000);
    };
    std::string line = std::string(kProgramName) + ": " + std::string(stage) + " " + file_ + ": " +
                       std::to_string(total > 0 ? done * 100 / total : 100) + "% (" + amount(done) +
                       " of " + amount(total) + (keys ? " keys)" : " MB)");
    const std::size_t width = line.size();
    if (line.size() < width_) line.append(width_ - line.size(), ' ');
    width_ = std::max(width_, width);
    err_ << '\r' << line << std::flush;
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::ostream& err_;
  std::string file_;
  Clock::time_point start_;
  Clock::time_point last_;
  std::chrono::milliseconds after_;
  std::size_t width_ = 0;  // of the longest line shown; 0 while nothing is shown
};

// A program that always asks for a restart would otherwise loop for ever.
constexpr int kMaxBoots = 10;

// The run is told twice as it happens: as the transcript's text and as the records of the
// JSON document (report_json.h), which --json prints instead.
class Rehearsal {
 public:
  Rehearsal(Machine& machine, std::ostream& out, Json& doc) : m_(machine), out_(out), doc_(doc) {
    doc_["boots"] = Json::array();
  }

  // A run that ends abnormally leaves by an exception (the program's crash or failure).
  void Run(const std::vector<std::string>& clicks) {
    const auto registryBefore = SnapshotRegistry(m_);
    const auto filesBefore = SnapshotFiles(m_);

    PrintBoot(m_.Boot());
    StartProgram("the user");
    int number = 0;
    for (const std::string& click : clicks) {
      ++number;
      if (!DoClick(number, click)) break;
    }
    if (session_ && session_->Running()) {
      out_ << "\nThe clicks are done; the window stays open.\n";
      Event({{"kind", "clicksDone"}});
    }
    PrintLog();
    const auto registryChanges = DiffRegistry(registryBefore, m_);
    const auto fileChanges = DiffFiles(filesBefore, SnapshotFiles(m_));
    out_ << "\nRegistry changes\n" << FormatRegistryChanges(registryChanges);
    out_ << "\nFile changes\n" << FormatFileChanges(fileChanges);
    doc_["registryChanges"] = RegistryChangesJson(registryChanges);
    doc_["fileChanges"] = FileChangesJson(fileChanges);
    PrintOutcome();
  }

 private:
  void PrintBoot(const std::vector<std::string>& commands) {
    ++boots_;
    out_ << (boots_ == 1 ? "" : "\n") << "Boot " << boots_ << "\n";
    out_ << "  Windows:        " << DescribeVersion(m_.Version()) << "\n";
    // The program's own classification; asking it is a start of the program's process, which
    // StartProgram() below begins afresh.
    const std::int32_t code = modIsAdmin(m_.services()).GetOsVersion();
    out_ << "  Version code:   " << code << "\n";
    const std::string language = AnsiToUtf8(m_.Locale().nativeLanguage);
    out_ << "  Language:       " << language << "\n";
    const bool admin = !m_.IsNtBased() || IsAdministrator(m_);
    if (m_.IsNtBased()) {
      out_ << "  Administrator:  " << (admin ? "yes" : "no") << "\n";
    } else {
      out_ << "  Administrator:  yes (DOS-based Windows has no user accounts)\n";
    }
    Json boot = {{"number", boots_},
                 {"windows", DescribeVersion(m_.Version())},
                 {"versionCode", code},
                 {"language", language},
                 {"administrator", admin},
                 {"hijackerDll", nullptr},
                 {"ranAtStart", Json::array()},
                 {"events", Json::array()}};
    if (const auto& h = m_.Hijacker()) {
      out_ << "  Hijacker DLL:   " << platform::AnsiToUtf8(h->dllPath)
           << (m_.HijackerLoaded() ? " (loaded at this boot)" : " (not loaded)") << "\n";
      boot["hijackerDll"] = {{"path", platform::AnsiToUtf8(h->dllPath)},
                             {"loaded", m_.HijackerLoaded()}};
    }
    for (const std::string& c : commands) {
      out_ << "  Ran at start:   " << AnsiToUtf8(c) << "\n";
      boot["ranAtStart"].push_back(AnsiToUtf8(c));
    }
    doc_["boots"].push_back(std::move(boot));
  }

  void StartProgram(const std::string& by) {
    m_.StartProgram();
    out_ << "\nProgram started by " << by << "\n";
    Event({{"kind", "programStarted"}, {"by", by}});
    session_ = std::make_unique<simrun::Session>(m_);
    shown_.clear();
    ReportEffects();
  }

  // One click of the script; false when there is nothing left to click on.
  bool DoClick(int number, const std::string& click) {
    const Control button = click == "start" ? Control::CB_start : Control::Command2;
    out_ << "\nClick " << number << ": " << click;
    Json event = {{"kind", "click"}, {"number", number}, {"click", click}};
    if (!session_ || !m_.WindowLoaded()) {
      out_ << " - not made: the program has ended\n";
      event["made"] = false;
      event["why"] = "the program has ended";
      Event(std::move(event));
      return false;
    }
    const std::string caption = m_.Control(button).text;
    if (!session_->CanClick(button)) {
      const std::string why = m_.Control(button).visible ? "disabled" : "hidden";
      out_ << " (\"" << caption << "\") - not made: the button is " << why << "\n";
      event["caption"] = caption;
      event["made"] = false;
      event["why"] = "the button is " + why;
      Event(std::move(event));
      return true;
    }
    out_ << " (\"" << caption << "\")\n";
    event["caption"] = caption;
    event["made"] = true;
    Event(std::move(event));
    session_->Click(button);
    ReportEffects();
    return true;
  }

  // What the last start or click showed: message boxes, a restart request, the window.
  void ReportEffects() {
    const auto& boxes = m_.MessageBoxes();
    for (; boxesShown_ < boxes.size(); ++boxesShown_) {
      const auto& box = boxes[boxesShown_];
      out_ << "  Message box \"" << box.title << "\", " << IconName(box.style) << ", answered OK\n";
      for (const std::string& line : Lines(box.text)) out_ << "    | " << line << "\n";
      Event({{"kind", "messageBox"},
             {"title", box.title},
             {"icon", IconName(box.style)},
             {"lines", Lines(box.text)},
             {"answer", "OK"}});
    }
    bool restart = false;
    const auto& exits = m_.ExitWindowsRequests();
    for (; exitsShown_ < exits.size(); ++exitsShown_) {
      restart = DescribeRestart(exits[exitsShown_]) || restart;
    }
    if (m_.WindowLoaded()) {
      PrintWindow();
    } else {
      out_ << "  Window closed; the program has ended\n";
      Event({{"kind", "windowClosed"}});
    }
    // Windows ends every program when it restarts, whatever state the window is in.
    if (restart) Restart();
  }

  void Restart() {
    if (boots_ >= kMaxBoots) {
      out_ << "\nStopped: the machine restarted " << kMaxBoots << " times in one rehearsal\n";
      Event({{"kind", "stopped"}, {"restarts", kMaxBoots}});
      session_.reset();
      return;
    }
    session_.reset();
    const std::vector<std::string> commands = m_.Reboot();
    PrintBoot(commands);
    for (const std::string& c : commands) {
      if (m_.NamesProgram(c)) StartProgram("Windows, from its start-once entry");
    }
  }

  // Reports one ExitWindowsEx request; returns whether Windows accepted it.
  bool DescribeRestart(const sim::ExitWindowsRecord& request) {
    const std::uint32_t flags = request.flags;
    const bool privilege = request.shutdownPrivilegeAsked;
    const bool refused = !request.accepted;
    out_ << "  Restart requested: ExitWindowsEx " << ExitFlags(flags) << ", "
         << (privilege ? "NT-based method (shutdown privilege enabled first)" : "DOS-based method")
         << (refused ? ", refused by Windows\n" : ", accepted\n");
    Event({{"kind", "restartRequested"},
           {"flags", flags},
           {"flagNames", ExitFlags(flags)},
           {"method", privilege ? "NT-based" : "DOS-based"},
           {"accepted", !refused}});
    return !refused;
  }

  void PrintWindow() {
    // After the start the whole window; after a click only what changed.
    const bool first = shown_.empty();
    std::vector<std::string> lines;
    const std::string title = m_.Control(Control::Form).text;
    if (first || shown_["Form"] != title) {
      lines.push_back("Title      \"" + title + "\"");
      shown_["Form"] = title;
    }
    for (const ControlInfo& c : kControls) {
      const sim::ControlState& s = m_.Control(c.control);
      if (!s.visible && !c.button) continue;
      std::string state;
      if (!s.visible) {
        state = "hidden";
      } else if (c.button) {
        state = s.enabled ? "enabled" : "disabled";
      }
      const std::string key = std::string(c.name);
      const std::string now = s.text + "|" + state;
      if (!first && shown_[key] == now) continue;
      const bool hiddenAsDesigned = !s.visible && first;
      shown_[key] = now;
      if (hiddenAsDesigned)
        continue;  // the test buttons are never shown; say so only if it changes
      std::string name = key;
      name.resize(std::max<std::size_t>(name.size(), 10), ' ');
      const std::vector<std::string> text = Lines(s.text);
      lines.push_back(name + " \"" + text[0] + "\"" + (state.empty() ? "" : " [" + state + "]"));
      for (std::size_t i = 1; i < text.size(); ++i) {
        lines.push_back(std::string(11, ' ') + "\"" + text[i] + "\"");
      }
    }
    Json controls = Json::array();
    for (const ControlInfo& c : kControls) {
      const sim::ControlState& st = m_.Control(c.control);
      if (!st.visible) continue;
      Json control = {{"name", c.name}, {"lines", Lines(st.text)}};
      if (c.button) control["enabled"] = st.enabled;
      controls.push_back(std::move(control));
    }
    Event({{"kind", "window"},
           {"title", title},
           {"shown", m_.WindowShown()},
           {"controls", std::move(controls)}});
    if (lines.empty()) return;
    out_ << (first ? "  Window shown:\n" : "  Window now:\n");
    for (const std::string& l : lines) out_ << "    " << l << "\n";
    if (!m_.WindowShown()) out_ << "    (the window is hidden)\n";
  }

  void PrintLog() {
    std::string path = m_.ExePath();
    path = path.substr(0, path.rfind('\\') + 1) + "dravlin.log";
    out_ << "\nActivity log " << platform::AnsiToUtf8(path) << "\n";
    doc_["log"] = {{"path", platform::AnsiToUtf8(path)}, {"lines", nullptr}};
    const auto log = m_.ReadFile(path);
    if (!log) {
      out_ << "  (no log file)\n";
      return;
    }
    std::vector<std::string> lines = Lines(AnsiToUtf8(*log));
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    for (const std::string& l : lines) out_ << "  " << l << "\n";
    doc_["log"]["lines"] = lines;
  }

  void PrintOutcome() {
    out_ << "\nOutcome: ";
    const auto& boxes = m_.MessageBoxes();
    const std::string& title = shown_["Form"];
    Json outcome = {{"lastMessage", nullptr}, {"lastTitle", nullptr}};
    if (!boxes.empty()) {
      out_ << "last message \"" << Lines(boxes.back().text)[0] << "\"";
      outcome["lastMessage"] = Lines(boxes.back().text)[0];
    } else if (!title.empty()) {
      out_ << "no message; last window title \"" << title << "\"";
      outcome["lastTitle"] = title;
    } else {
      out_ << "no message was shown";
    }
    out_ << "; " << boots_ << (boots_ == 1 ? " boot" : " boots") << ", "
         << (m_.WindowLoaded() ? "the window is still open" : "the program has ended") << "\n";
    outcome["boots"] = boots_;
    outcome["programEnded"] = !m_.WindowLoaded();
    doc_["outcome"] = std::move(outcome);
  }

  void Event(Json event) { doc_["boots"].back()["events"].push_back(std::move(event)); }

  Machine& m_;
  std::ostream& out_;
  Json& doc_;
  std::unique_ptr<simrun::Session> session_;
  std::map<std::string, std::string> shown_;
  std::size_t boxesShown_ = 0;
  std::size_t exitsShown_ = 0;
  int boots_ = 0;
};

}  // namespace

void WriteDefaultMachine(const fs::path& folder) {
  for (const EmbeddedFile& f : DefaultMachineFiles()) {
    const fs::path path = folder / fs::path(f.path);
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(f.bytes), static_cast<std::streamsize>(f.size));
    if (!out) throw sim::persist::FormatError(path.string(), 0, "cannot write the file");
  }
}

namespace {

// What the header shows of a machine built from an export.
void PrintInference(const sim::persist::Inference& inf, std::ostream& out) {
  out << "Machine from the export:\n";
  const auto field = [&](const std::string& what) {
    std::string name = "  " + what + ":";
    name.resize(std::max<std::size_t>(name.size() + 1, 18), ' ');
    return name;
  };
  const std::string indent(18, ' ');
  for (const auto& item : inf.items) {
    out << field(item.what) << item.value << "\n" << indent << "(" << item.source << ")\n";
  }
  for (std::size_t i = 0; i < inf.placeholders.size(); ++i) {
    out << (i == 0 ? field("Placeholders") : indent) << inf.placeholders[i] << "\n";
  }
  for (const std::string& note : inf.notes) out << field("Note") << note << "\n";
}

sim::persist::ExportOptions ExportOptionsOf(const Options& o) {
  sim::persist::ExportOptions e;
  e.os = o.os;
  e.lang = o.lang;
  if (o.clock) {
    platform::SystemTime t{};
    if (sim::persist::ParseClockText(*o.clock, &t)) e.clock = t;
  }
  e.admin = o.admin;
  // Paths and names are ANSI on the machine; one the code page cannot spell names nothing.
  const auto ansi = [](const std::optional<std::string>& text, const char* option) {
    std::optional<std::string> out;
    if (!text) return out;
    out = platform::Utf8ToAnsi(*text);
    if (platform::HasWideChars(*out)) {
      throw sim::persist::FormatError(
          option, 0, "expected only characters that Windows-1252 has, found '" + *text + "'");
    }
    return out;
  };
  e.hijackerDll = ansi(o.hijackerDll, "--hijacker-dll");
  e.user = ansi(o.user, "--user");
  e.exePath = ansi(o.exePath, "--exe-path");
  e.systemDirectory = ansi(o.systemDirectory, "--system-dir");
  return e;
}

}  // namespace

int Run(const Options& options, std::ostream& out, std::ostream& err) {
  std::unique_ptr<sim::persist::LoadedMachine> loaded;
  std::optional<sim::persist::Inference> inference;
  std::string label;
  try {
    std::error_code ec;
    const bool isExport = options.machineDir && fs::is_regular_file(*options.machineDir, ec);
    if (!isExport && (options.clock || options.admin || options.hijackerDll || options.user ||
                      options.exePath || options.systemDirectory)) {
      throw std::invalid_argument(
          "--clock, --admin, --hijacker-dll, --user, --exe-path and --system-dir apply to a "
          "registry export only (a machine folder says these in machine.json)");
    }
    const std::string source = options.machineDir
                                   ? (isExport ? options.machineDir->string()
                                               : (*options.machineDir / "registry.reg").string())
                                   : std::string();
    std::optional<ProgressLine> line;
    if (options.progress && options.machineDir) line.emplace(err, source, options.progressAfter);
    const sim::persist::Progress progress =
        line ? sim::persist::Progress([&](std::string_view stage, std::uint64_t done,
                                          std::uint64_t total) { line->Show(stage, done, total); })
             : sim::persist::Progress();
    if (isExport) {
      inference.emplace();
      loaded = sim::persist::LoadExport(*options.machineDir, ExportOptionsOf(options), &*inference,
                                        progress);
      label = "export " + options.machineDir->filename().string() + " (" + inference->format +
              ", " + std::to_string(inference->keys) + " keys)";
    } else if (options.machineDir) {
      loaded = sim::persist::LoadMachineFolder(*options.machineDir, progress);
      label = "machine folder " + options.machineDir->filename().string();
      if (options.machineDir->filename().empty())
        label = "machine folder " + options.machineDir->string();
    } else {
      const sim::TempFolder builtIn;
      WriteDefaultMachine(builtIn.path());
      loaded = sim::persist::LoadMachineFolder(builtIn.path());
      label = "the built-in default machine";
    }
    line.reset();
    if (options.outDir) {
      // Refuse a wrong --out before anything runs, not after.
      if (fs::exists(*options.outDir, ec)) {
        if (!fs::is_directory(*options.outDir, ec)) {
          throw sim::persist::FormatError(options.outDir->string(), 0, "expected a folder");
        }
        for (const auto& e : fs::directory_iterator(*options.outDir)) {
          const std::string n = e.path().filename().string();
          if (n != "machine.json" && n != "registry.reg" && n != "c") {
            throw sim::persist::FormatError(
                options.outDir->string(), 0,
                "expected an empty folder or a machine folder, found '" + n + "'");
          }
        }
      }
    }
  } catch (const sim::persist::FormatError& e) {
    err << kProgramName << ": " << e.what() << "\n";
    return kExitBadInput;
  } catch (const std::exception& e) {
    err << kProgramName << ": " << e.what() << "\n";
    return kExitBadInput;
  }

  Machine& m = loaded->machine();
  // An export's machine has these already, each said in its header.
  if (options.os && !inference) m.SetVersionPreset(*options.os);
  if (options.lang && !inference) {
    sim::LocaleSettings locale;  // English pictures by default
    if (*options.lang == "de") {
      locale.nativeLanguage = "Deutsch";
      locale.shortDate = "dd.MM.yyyy";
      locale.longTime = "HH:mm:ss";
      locale.am.clear();
      locale.pm.clear();
    }
    m.SetLocale(locale);
  }

  // With --json the transcript is still told, to a text nobody reads, so that both come from
  // the same run.
  std::ostringstream unread;
  std::ostream& text = options.json ? unread : out;
  Json doc;
  doc["schemaVersion"] = kJsonSchemaVersion;
  doc["machine"] = {{"label", label}, {"inferred", inference ? InferenceJson(*inference) : Json()}};
  doc["clicks"] = options.clicks;
  const auto finish = [&](int status) {
    doc["exitStatus"] = status;
    if (options.json) out << doc.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    return status;
  };

  text << "Dravlin rehearsal on " << label << "\n";
  if (inference) PrintInference(*inference, text);
  text << "Clicks: ";
  for (std::size_t i = 0; i < options.clicks.size(); ++i) {
    text << (i ? ", " : "") << options.clicks[i];
  }
  text << (options.clicks.empty() ? "(none)\n\n" : "\n\n");

  doc["failure"] = nullptr;
  try {
    Rehearsal rehearsal(m, text, doc);
    rehearsal.Run(options.clicks);
  } catch (const sim::ProgramCrash&) {
    text << "\nThe program ended abruptly.\n";
    err << kProgramName << ": the program ended abruptly\n";
    doc["failure"] = "the program ended abruptly";
    return finish(kExitProgramFailed);
  } catch (const std::exception& e) {
    text << "\nThe program failed: " << e.what() << "\n";
    err << kProgramName << ": the program failed: " << e.what() << "\n";
    doc["failure"] = std::string("the program failed: ") + e.what();
    return finish(kExitProgramFailed);
  }

  doc["machineWritten"] = nullptr;
  if (options.outDir) {
    try {
      sim::persist::SaveMachineFolder(m, *options.outDir);
      text << "\nMachine written to " << options.outDir->string() << "\n";
      doc["machineWritten"] = options.outDir->string();
    } catch (const std::exception& e) {
      err << kProgramName << ": " << e.what() << "\n";
      return kExitBadInput;
    }
  }
  return finish(kExitOk);
}

}  // namespace dravlin::rehearsal
