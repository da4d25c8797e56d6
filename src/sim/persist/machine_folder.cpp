// Machine folders loaded and saved, and the registry carried between a machine and its .reg model.
#include "sim/persist/machine_folder.h"

#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "platform/ansi_names.h"
#include "platform/registry.h"
#include "sim/persist/json_lines.h"

namespace dravlin::sim::persist {

namespace fs = std::filesystem;

namespace {

constexpr const char* kJsonName = "machine.json";
constexpr const char* kRegName = "registry.reg";
constexpr const char* kDriveName = "c";

// Reads a whole regular file; anything else (missing, a folder, a pipe) is refused before
// it is opened, so that a pipe cannot hang the load.
void ExpectRegularFile(const fs::path& path, const std::string& label) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st)) throw FormatError(label, 0, "missing (expected a file)");
  if (!fs::is_regular_file(st)) throw FormatError(label, 0, "expected a regular file");
}

std::string ReadWholeFile(const fs::path& path, const std::string& label) {
  ExpectRegularFile(path, label);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FormatError(label, 0, "cannot open the file for reading");
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw FormatError(label, 0, "cannot read the file");
  return bytes;
}

// Copies a folder tree of regular files and folders; links are followed to what they name.
void CopyTree(const fs::path& from, const fs::path& to, const std::string& label) {
  std::error_code ec;
  fs::create_directories(to, ec);
  if (ec) throw FormatError(to.string(), 0, "cannot create the folder: " + ec.message());
  fs::recursive_directory_iterator it(from, fs::directory_options::none, ec);
  if (ec) throw FormatError(label, 0, "cannot list the folder: " + ec.message());
  for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    const fs::path rel = fs::relative(it->path(), from, ec);
    const std::string name = label + "/" + rel.generic_string();
    const fs::file_status st = fs::status(it->path(), ec);
    if (ec) throw FormatError(name, 0, "cannot read: " + ec.message());
    if (fs::is_directory(st)) {
      fs::create_directories(to / rel, ec);
      if (ec) throw FormatError(name, 0, "cannot copy the folder: " + ec.message());
    } else if (fs::is_regular_file(st)) {
      std::ifstream probe(it->path(), std::ios::binary);
      if (!probe) throw FormatError(name, 0, "cannot open the file for reading");
      probe.close();
      fs::copy_file(it->path(), to / rel, fs::copy_options::overwrite_existing, ec);
      if (ec) throw FormatError(name, 0, "cannot copy the file: " + ec.message());
    } else {
      throw FormatError(name, 0, "expected a regular file or folder");
    }
  }
  if (ec) throw FormatError(label, 0, "cannot list the folder: " + ec.message());
}

void WriteWholeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw FormatError(path.string(), 0, "cannot write the file");
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// registry

void ApplyRegistry(const RegFile& file, Machine& machine, const Progress& progress) {
  std::uint64_t done = 0;
  for (const RegKeyEntry& key : file.keys) {
    if (progress && (++done & 0x3FFF) == 0) progress("loading", done, file.keys.size());
    platform::HKey root = 0;
    std::string sub;
    if (!SplitRootPath(key.path, &root, &sub)) continue;  // the reader admits known roots only
    if (key.remove) {
      if (!sub.empty()) machine.DeleteKey(root, sub);
      continue;
    }
    machine.CreateKey(root, sub);
    for (const RegValueEntry& v : key.values) {
      if (v.remove) {
        machine.DeleteValue(root, sub, v.name);
      } else {
        machine.SetValue(root, sub, v.name, sim::RegValue{v.type, v.data, v.wide});
      }
    }
  }
}

namespace {
constexpr platform::HKey kSavedRoots[] = {platform::HKEY_LOCAL_MACHINE, platform::HKEY_CURRENT_USER,
                                          platform::HKEY_USERS};
}

RegFile ExportRegistry(const Machine& machine) {
  RegFile f;
  for (const platform::HKey root : kSavedRoots) {
    machine.VisitTree(root, "", [&](std::string_view path, const std::vector<NamedValue>& values) {
      if (path.empty() && values.empty()) return;
      RegKeyEntry e;
      e.path = RootName(root);
      if (!path.empty()) e.path.append("\\").append(path);
      for (const NamedValue& nv : values) {
        RegValueEntry& v =
            e.values.emplace_back(RegValueEntry{nv.name, nv.value.type, nv.value.data});
        v.wide = nv.value.wide;
      }
      f.keys.push_back(std::move(e));
    });
  }
  return f;
}

// ---------------------------------------------------------------------------------------------
// folders

LoadedMachine::LoadedMachine() = default;
LoadedMachine::~LoadedMachine() = default;

std::unique_ptr<LoadedMachine> LoadMachineFolder(const fs::path& folder, const Progress& progress) {
  const std::string base = folder.string();
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    throw FormatError(
        base, 0, fs::exists(folder, ec) ? "expected a machine folder" : "no such machine folder");
  }
  const std::string jsonLabel = (folder / kJsonName).string();
  const std::string regLabel = (folder / kRegName).string();
  // Everything is read and checked before the machine is built.
  const std::string jsonText = ReadWholeFile(folder / kJsonName, jsonLabel);
  MachineDescription description = ParseMachineJson(jsonText, jsonLabel);
  ExpectRegularFile(folder / kRegName, regLabel);
  RegFile registry = ReadRegFile(folder / kRegName, regLabel, progress);

  auto loaded = std::make_unique<LoadedMachine>();
  const fs::path drive = loaded->work_.path() / kDriveName;
  const fs::path sourceDrive = folder / kDriveName;
  if (fs::exists(sourceDrive, ec)) {
    if (!fs::is_directory(sourceDrive, ec)) {
      throw FormatError(sourceDrive.string(), 0, "expected the folder of drive C:");
    }
    CopyTree(sourceDrive, drive, sourceDrive.string());
  } else {
    fs::create_directories(drive, ec);
  }
  loaded->machine_ = std::make_unique<Machine>(drive);
  Machine& m = *loaded->machine_;
  ApplyDescription(description, m);
  ApplyRegistry(registry, m, progress);
  registry = RegFile();  // a whole PC's model is not kept beside the machine built from it
  for (const std::string& path : description.undeletable) {
    if (!m.FileExists(path)) {
      throw FormatError(jsonLabel, LineOfMember(jsonText, {"undeletable"}),
                        "\"undeletable\": expected an existing file of c/, found '" + path + "'");
    }
    m.SetUndeletable(path);
  }
  for (const auto& [path, bits] : description.attributes) {
    if (!m.SetFileAttributes(path, bits)) {
      throw FormatError(jsonLabel, LineOfMember(jsonText, {"attributes", path}),
                        "\"attributes\": expected an existing file of c/, found '" + path + "'");
    }
  }
  loaded->description_ = std::move(description);
  return loaded;
}

void SaveMachineFolder(const Machine& machine, const fs::path& folder) {
  const std::string label = folder.string();
  std::error_code ec;
  if (fs::exists(folder, ec)) {
    if (!fs::is_directory(folder, ec)) throw FormatError(label, 0, "expected a folder");
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      const std::string name = entry.path().filename().string();
      if (name != kJsonName && name != kRegName && name != kDriveName) {
        throw FormatError(label, 0,
                          "expected an empty folder or a machine folder, found '" + name + "'");
      }
    }
    if (ec) throw FormatError(label, 0, "cannot list the folder: " + ec.message());
  }
  // Version 5.00 only where a name or string data needs it: REGEDIT4 is what every Windows reads.
  const RegFile exported = ExportRegistry(machine);
  bool held = false;
  for (const RegKeyEntry& k : exported.keys) {
    held = held || platform::HasWideChars(k.path);
    for (const RegValueEntry& v : k.values) {
      held = held || platform::HasWideChars(v.name) || !v.wide.empty();
    }
  }
  const std::string reg = held ? regfile::WriteVersion5(exported) : WriteRegedit4(exported);
  const std::string json = WriteMachineJson(machine);

  fs::create_directories(folder, ec);
  if (ec) throw FormatError(label, 0, "cannot create the folder: " + ec.message());
  WriteWholeFile(folder / kRegName, reg);
  WriteWholeFile(folder / kJsonName, json);
  fs::remove_all(folder / kDriveName, ec);
  if (ec) throw FormatError((folder / kDriveName).string(), 0, "cannot replace: " + ec.message());
  CopyTree(machine.DriveRoot(), folder / kDriveName, (folder / kDriveName).string());
}

}  // namespace dravlin::sim::persist
