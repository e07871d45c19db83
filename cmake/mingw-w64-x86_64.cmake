# The 64-bit Windows build, cross-compiled with Debian's MinGW-w64 toolchain
# (package g++-mingw-w64-x86-64). The posix thread model gives std::thread and
# std::mutex; everything is linked statically against the C++ runtime and
# winpthreads so the programs run on a clean Windows with nothing beside them
# but their own DLLs.
#
#   cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# Tests run under Wine (wine, from the wine64 package) as the cross-compiling
# emulator, so `ctest` in that build runs the Windows programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QUENDAL_WINE NAMES wine wine64)
if(QUENDAL_WINE)
  # Through a wrapper that starts a program once more when Wine's server turned
  # it away at its start (see the script).
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh ${QUENDAL_WINE})
endif()
