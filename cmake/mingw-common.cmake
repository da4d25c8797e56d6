# What both mingw-w64 toolchains share; the including file sets DRAVLIN_MINGW_PREFIX and
# CMAKE_SYSTEM_PROCESSOR first. The win32 threads variant of the compilers: the posix variant
# links winpthread, which imports kernel32 functions that only XP and Vista export.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${DRAVLIN_MINGW_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${DRAVLIN_MINGW_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${DRAVLIN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DRAVLIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The program must start on a bare Windows: no libstdc++ or libgcc DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
