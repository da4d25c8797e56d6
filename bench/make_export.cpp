// dravlin-make-export: writes a machine folder whose registry.reg is a whole-PC-sized export,
// for timing the rehearsal by hand (`/usr/bin/time dravlin-sim FOLDER`).
//
//   dravlin-make-export FROM TO KEYS [v5|regedit4] [--cut BYTES]
//
// FROM is a machine folder (e.g. machines/default); its registry comes first, the generated
// keys follow. --cut drops that many bytes from the end, as an interrupted copy would.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "export_gen.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  if (argc < 4) {
    std::cerr << "usage: dravlin-make-export FROM TO KEYS [v5|regedit4] [--cut BYTES]\n";
    return 2;
  }
  dravlin::testing::ExportShape shape;
  shape.keys = std::stoul(argv[3]);
  std::uintmax_t cut = 0;
  for (int i = 4; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "regedit4") {
      shape.format = dravlin::regfile::RegFormat::Regedit4;
    } else if (a == "v5") {
      shape.format = dravlin::regfile::RegFormat::Version5;
    } else if (a == "--cut" && i + 1 < argc) {
      cut = std::stoull(argv[++i]);
    } else {
      std::cerr << "dravlin-make-export: unknown argument '" << a << "'\n";
      return 2;
    }
  }
  try {
    const fs::path to = argv[2];
    const std::uintmax_t size = dravlin::testing::WriteExportMachine(argv[1], to, shape);
    if (cut > 0) fs::resize_file(to / "registry.reg", size > cut ? size - cut : 0);
    std::cout << (to / "registry.reg").string() << ": " << size - std::min(size, cut) << " bytes, "
              << shape.keys << " generated keys\n";
  } catch (const std::exception& e) {
    std::cerr << "dravlin-make-export: " << e.what() << "\n";
    return 2;
  }
  return 0;
}
