// The machine: its state, its hijacker, boots, what the program showed, and the checkpoint that
// counts every platform call and injects faults and crashes.
#include "sim/machine.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <system_error>

#include "sim/program.h"

namespace dravlin::sim {

namespace fs = std::filesystem;
using detail::Fold;

// ----- TempFolder

TempFolder::TempFolder() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  for (;;) {
    path_ = fs::temp_directory_path() /
            ("dravlin-sim-" + std::to_string(rd()) + "-" + std::to_string(counter++));
    std::error_code ec;
    if (fs::create_directory(path_, ec)) break;
  }
}

TempFolder::~TempFolder() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

// ----- Impl

Machine::Impl::Impl(fs::path driveC) : Impl() {
  drive = detail::Drive(std::move(driveC));
}

Machine::Impl::Impl() {
  version = *VersionPreset("winxp");
  groups = {{Machine::EveryoneSid(), 7}, {Machine::AdminSid(), 0xF}, {Machine::UsersSid(), 7}};
  privileges = {{"SeChangeNotifyPrivilege", true},
                {"SeShutdownPrivilege", false},
                {"SeBackupPrivilege", false},
                {"SeRestorePrivilege", false}};
  clockSeconds = detail::ToSeconds({2026, 12, 0, 6, 12, 0, 0, 0});
  program = std::make_unique<detail::Program>(*this);
  services = std::make_unique<platform::Services>(
      platform::Services{*program, *program, *program, *program, *program, *program, *program});
}

Machine::Impl::~Impl() = default;

std::string Machine::Impl::SystemDir() const {
  if (!systemDirectory.empty()) return systemDirectory;
  return IsNt() ? "C:\\WINDOWS\\system32" : "C:\\WINDOWS\\SYSTEM";
}

platform::SystemTime Machine::Impl::Now() const {
  return detail::FromSeconds(clockSeconds, clockMillis);
}

bool Machine::Impl::PrivilegeEnabled(const std::string& name) const {
  auto it = privilegeState.find(Fold(name));
  return it != privilegeState.end() && it->second;
}

bool Machine::Impl::Hidden(const detail::Key& key, const std::string& valueName) const {
  if (!hijackLoaded || key.deleted || reg.RootOf(key) != platform::HKEY_LOCAL_MACHINE) return false;
  if (IsNt()) {
    return detail::SameName(key.Path(), detail::kLiveWindowsKey) &&
           detail::SameName(valueName, "AppInit_DLLs");
  }
  return detail::SameName(key.Path(), detail::kRunServicesOnceKey) &&
         detail::SameName(valueName, hijackValueName);
}

namespace {
// Keys the system holds, which a copy of the state still finds in the tree it came from.
void PointInto(MachineState& to, const MachineState& from) {
  for (auto& held : to.heldOpen) held = to.reg.Counterpart(from.reg, *held);
  std::erase(to.heldOpen, nullptr);
  for (auto& weak : to.volatileKeys) {
    const auto k = weak.lock();
    weak = k ? to.reg.Counterpart(from.reg, *k) : std::shared_ptr<detail::Key>();
  }
}
}  // namespace

std::unique_ptr<MachineState> Machine::Impl::Save() const {
  auto saved = std::make_unique<MachineState>(*this);
  PointInto(*saved, *this);
  saved->keys.clear();
  return saved;
}

void Machine::Impl::Restore(const MachineState& saved) {
  // A new copy moved in, so that all the memory of the state it replaces is given back (an
  // assignment would keep the capacity of strings and lists).
  MachineState::operator=(MachineState(saved));
  PointInto(*this, saved);
  EndProgram();
}

void Machine::Impl::StartProgram() {
  keys.clear();
  keys.reserve(16);  // a run holds a few keys open at once
  tokens.clear();
  files.clear();
  itemLists.clear();
  privilegeState.clear();
  for (const auto& p : privileges) privilegeState[Fold(p.name)] = p.enabledByDefault;
  shutdownPrivilegeAsked = false;
  drive.currentFolder =
      currentFolder.empty() ? exePath.substr(0, exePath.find_last_of('\\')) : currentFolder;
  lastError = 0;
  controls.fill(ControlState{});
  shown = false;
  loaded = true;
  dead = false;
  running = true;
}

void Machine::Impl::EndProgram() {
  keys.clear();
  tokens.clear();
  files.clear();
  itemLists.clear();
  privilegeState.clear();
  shown = false;
  loaded = false;
  dead = false;
  running = false;
}

Machine::Impl::Gate Machine::Impl::Enter(const char* operation, bool isClose,
                                         std::uint32_t* status) {
  if (!running) StartProgram();
  if (dead) {
    if (isClose) return Gate::Skip;
    throw ProgramCrash{};
  }
  ++callCount;
  // A run makes a few hundred calls: room for them at once rather than by doubling.
  if (calls.capacity() < 256) calls.reserve(256);
  calls.push_back(operation);
  if (crashRemaining > 0 && --crashRemaining == 0) {
    dead = true;
    if (isClose) return Gate::Skip;
    throw ProgramCrash{};
  }
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (it->operation == operation && --it->remaining == 0) {
      *status = it->status;
      faults.erase(it);
      return Gate::Fail;
    }
  }
  return Gate::Proceed;
}

namespace {
// The first NUL-terminated part of a string value, or the whole data.
std::string CommandText(const RegValue& v) {
  return detail::UpToNul(v.data);
}

bool Names(const std::string& text, const std::string& path) {
  return !path.empty() && Fold(text).find(Fold(path)) != std::string::npos;
}
}  // namespace

std::vector<std::string> Machine::Impl::Boot() {
  ++bootCount;
  for (const auto& weak : volatileKeys) {
    if (auto k = weak.lock(); k && !k->deleted) reg.Detach(k);
  }
  volatileKeys.clear();
  heldOpen.clear();
  for (const auto& [root, path] : heldKeys) {
    if (auto k = reg.Lookup(root, path)) heldOpen.push_back(std::move(k));
  }
  hijackLoaded = false;
  hijackValueName.clear();
  drive.busy.clear();
  std::vector<std::string> ran;
  const platform::HKey hklm = platform::HKEY_LOCAL_MACHINE;
  const bool dllPresent = hijacker &&
                          drive.Resolve(hijacker->dllPath).error == detail::PathError::None &&
                          !drive.Resolve(hijacker->dllPath).isFolder;
  const auto shortDll = hijacker ? drive.ShortPath(hijacker->dllPath) : std::nullopt;
  auto namesDll = [&](const std::string& text) {
    return dllPresent && (Names(text, hijacker->dllPath) || (shortDll && Names(text, *shortDll)));
  };

  if (IsNt()) {
    if (auto live = reg.Lookup(hklm, detail::kLiveWindowsKey)) {
      if (auto* v = live->FindValue("AppInit_DLLs"); v && namesDll(CommandText(v->value))) {
        hijackLoaded = true;
      }
    }
  } else if (auto rso = reg.Lookup(hklm, detail::kRunServicesOnceKey)) {
    // Windows deletes each entry as it runs it; the hijacker, once loaded, writes its own back.
    std::optional<NamedValue> own;
    const auto entries = rso->values;
    for (const auto& e : entries) {
      rso->values.erase(
          std::remove_if(rso->values.begin(), rso->values.end(),
                         [&](const NamedValue& v) { return detail::SameName(v.name, e.name); }),
          rso->values.end());
      ran.push_back(CommandText(e.value));
      if (!own && namesDll(CommandText(e.value))) own = e;
    }
    if (own) {
      rso->values.push_back(*own);
      hijackLoaded = true;
      hijackValueName = own->name;
    }
  }
  if (hijackLoaded) drive.busy.insert(drive.Resolve(hijacker->dllPath).Canonical());

  // RunOnce: the machine's entries, then the user's; each is removed as it runs.
  for (platform::HKey root : {hklm, platform::HKEY_CURRENT_USER}) {
    if (auto runOnce = reg.Lookup(root, detail::kRunOnceKey)) {
      const auto entries = runOnce->values;
      runOnce->values.clear();
      for (const auto& e : entries) ran.push_back(CommandText(e.value));
    }
  }
  return ran;
}

// ----- Machine

Machine::Machine(fs::path driveC) : impl_(std::make_unique<Impl>(std::move(driveC))) {}
Machine::Machine() : impl_(std::make_unique<Impl>()) {}
Machine::~Machine() = default;

void Machine::SetHijacker(std::optional<HijackerSettings> hijacker) {
  impl_->hijacker = std::move(hijacker);
}
const std::optional<HijackerSettings>& Machine::Hijacker() const {
  return impl_->hijacker;
}
bool Machine::HijackerLoaded() const {
  return impl_->hijackLoaded;
}

// ----- the program's side

platform::Services& Machine::services() {
  return *impl_->services;
}

const std::vector<MessageBoxRecord>& Machine::MessageBoxes() const {
  return impl_->boxes;
}
void Machine::ClearMessageBoxes() {
  impl_->boxes.clear();
}
void Machine::ScriptMessageBoxAnswers(std::vector<int> answers) {
  impl_->answers.assign(answers.begin(), answers.end());
}
const std::vector<ExitWindowsRecord>& Machine::ExitWindowsRequests() const {
  return impl_->exits;
}
std::vector<std::uint32_t> Machine::ExitWindowsCalls() const {
  std::vector<std::uint32_t> flags;
  for (const ExitWindowsRecord& request : impl_->exits) flags.push_back(request.flags);
  return flags;
}
void Machine::SetExitWindowsFails(bool fails) {
  impl_->exitFails = fails;
}

const ControlState& Machine::Control(platform::Control control) const {
  return impl_->controls.at(static_cast<std::size_t>(control));
}
bool Machine::WindowShown() const {
  return impl_->shown;
}
bool Machine::WindowLoaded() const {
  return impl_->loaded;
}

const std::vector<std::string>& Machine::CallLog() const {
  auto& log = impl_->callLog;
  for (std::size_t i = log.size(); i < impl_->calls.size(); ++i) log.emplace_back(impl_->calls[i]);
  return log;
}
std::uint64_t Machine::CallCount() const {
  return impl_->callCount;
}

std::size_t Machine::OpenKeyHandles() const {
  return impl_->keys.size();
}
std::size_t Machine::OpenTokenHandles() const {
  return impl_->tokens.size();
}
std::size_t Machine::OpenFiles() const {
  return impl_->files.size();
}
std::size_t Machine::OpenItemLists() const {
  return impl_->itemLists.size();
}

std::vector<std::string> Machine::Boot() {
  return impl_->Boot();
}
std::vector<std::string> Machine::Reboot() {
  impl_->EndProgram();
  return impl_->Boot();
}
std::uint32_t Machine::BootCount() const {
  return impl_->bootCount;
}
void Machine::StartProgram() {
  impl_->StartProgram();
}

bool Machine::NamesProgram(const std::string& commandLine) const {
  std::string cmd = commandLine;
  cmd.erase(0, cmd.find_first_not_of(' '));
  std::string first;
  if (!cmd.empty() && cmd[0] == '"') {
    first = cmd.substr(
        1, cmd.find('"', 1) == std::string::npos ? std::string::npos : cmd.find('"', 1) - 1);
  } else {
    first = cmd.substr(0, cmd.find(' '));
  }
  if (detail::SameName(first, impl_->exePath)) return true;
  const auto shortPath = impl_->drive.ShortPath(impl_->exePath);
  if (shortPath && detail::SameName(first, *shortPath)) return true;
  // Any spelling that resolves to the executable (short parts, other slashes, any case).
  const auto a = impl_->drive.Resolve(first);
  const auto b = impl_->drive.Resolve(impl_->exePath);
  return a.error == detail::PathError::None && b.error == detail::PathError::None &&
         a.host == b.host;
}

void Machine::FailCall(const std::string& operation, std::uint64_t n, std::uint32_t status) {
  if (n == 0) return;
  impl_->faults.push_back({operation, n, status});
}
void Machine::CrashAtCall(std::uint64_t n) {
  impl_->crashRemaining = n;
}
void Machine::ClearFaults() {
  impl_->faults.clear();
  impl_->crashRemaining = 0;
}
void Machine::SaveSnapshot() {
  impl_->snapshot = impl_->Save();
}
bool Machine::RestoreSnapshot() {
  if (!impl_->snapshot) return false;
  impl_->Restore(*impl_->snapshot);
  return true;
}

bool Machine::ProgramDead() const {
  return impl_->dead;
}

}  // namespace dravlin::sim
