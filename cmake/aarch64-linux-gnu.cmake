# Cross-compiles velmora for 64-bit Arm Linux with Debian's cross compiler (package
# g++-aarch64-linux-gnu): `cmake --preset arm64`, or pass this file as CMAKE_TOOLCHAIN_FILE.
#
# The programs link the target's C and C++ libraries dynamically, as a native build does.
# Those libraries come with the cross compiler under /usr/aarch64-linux-gnu; libraries for
# the target installed through Debian's multiarch (libgtest-dev:arm64) are found under
# /usr/lib/aarch64-linux-gnu. Where QEMU's user-mode emulator (package qemu-user-static) is
# installed, programs built here can run on this machine: CTest, test discovery and custom
# commands run them through it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

find_program(CMAKE_CXX_COMPILER NAMES aarch64-linux-gnu-g++ REQUIRED)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The cross libraries' own root, and the host's root for multiarch packages; with the library
# architecture set, only aarch64 libraries and package files are found under the latter.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L points the emulator at the target's dynamic loader and libraries.
find_program(VELMORA_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(VELMORA_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMORA_QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
endif()
