// Reading a .reg file from disk. Apart from the rest, so that a program that only writes .reg
// text does not link the file streams this needs.
#include <fstream>
#include <iterator>

#include "regfile/regfile.h"

namespace dravlin::regfile {

RegFile ReadRegFile(const std::filesystem::path& path, const std::string& displayName) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FormatError(displayName, 0, "cannot open the file for reading");
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw FormatError(displayName, 0, "cannot read the file");
  return ParseRegFile(bytes, displayName);
}

}  // namespace dravlin::regfile
