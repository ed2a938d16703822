# Cross-compiles velmora.exe for 64-bit Windows with MinGW-w64 on Debian (package
# g++-mingw-w64-x86-64): `cmake --preset windows`, or pass this file as CMAKE_TOOLCHAIN_FILE.
#
# The win32-threads variant of the compiler is preferred: velmora runs one thread, and that
# variant needs no winpthread library. Everything is linked statically, so velmora.exe needs
# no DLL beyond those every Windows has (KERNEL32.dll and msvcrt.dll).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

find_program(CMAKE_CXX_COMPILER NAMES x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-g++
             REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
