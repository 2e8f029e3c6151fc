# Cross build for Linux on 64-bit ARM with Debian's aarch64-linux-gnu compilers
# (g++-aarch64-linux-gnu). Test programs run under qemu-user with Debian's arm64 run-time
# libraries (libc6:arm64, libstdc++6:arm64): unlike the cross C library they bring the
# GBK converter modules (gconv) the code-page conversion needs, and their dynamic loader
# matches their C library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
