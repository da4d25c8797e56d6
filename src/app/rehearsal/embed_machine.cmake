# Writes a C++ source that holds every file of a machine folder, so that the rehearsal program
# carries its default machine. Usage: cmake -DSRC=<folder> -DOUT=<file.cpp> -P embed_machine.cmake
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${SRC}" "${SRC}/*")
list(SORT files)
set(arrays "")
set(table "")
set(i 0)
foreach(f IN LISTS files)
  file(READ "${SRC}/${f}" hex HEX)
  file(SIZE "${SRC}/${f}" size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(APPEND arrays "const unsigned char kFile${i}[] = {${hex}0};\n")
  string(APPEND table "      {\"${f}\", kFile${i}, ${size}},\n")
  math(EXPR i "${i} + 1")
endforeach()
set(text "// Generated from machines/default by embed_machine.cmake; do not edit.
#include <cstddef>
#include <vector>

namespace dravlin::rehearsal {

struct EmbeddedFile {
  const char* path;
  const unsigned char* bytes;
  std::size_t size;
};

namespace {
${arrays}}  // namespace

std::vector<EmbeddedFile> DefaultMachineFiles() {
  return {
${table}  };
}

}  // namespace dravlin::rehearsal
")
file(WRITE "${OUT}.tmp" "${text}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
