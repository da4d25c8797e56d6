# Cross-building the program for 64-bit Windows with mingw-w64, only so that the Wine suites run
# on hosts that cannot execute 32-bit programs. The i686 build ships.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DRAVLIN_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Debian's wine wrapper prefers the 32-bit loader whenever it is installed.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
