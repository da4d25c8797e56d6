# Cross-building the 32-bit Windows program (the one that ships) with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(DRAVLIN_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Tests run the executables under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
