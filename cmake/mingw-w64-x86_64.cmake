# Cross-builds ym2608-console.exe for 64-bit Windows with mingw-w64
# (Debian: g++-mingw-w64-x86-64):
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# (the tests are off by default in a cross build).
# The executable is linked statically, so it needs no runtime DLLs and runs on
# a bare Windows machine (or under Wine).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(YM2608_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${YM2608_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${YM2608_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${YM2608_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${YM2608_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
