# Cross build for armhf Linux (32-bit ARM boards, hard-float ABI) with Debian's
# g++-arm-linux-gnueabihf; its programs (the tool and the whole test suite)
# run under qemu-user (package qemu-user):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#   cmake --build build-armhf -j2 && ctest --test-dir build-armhf
# The one 32-bit target: size_t, long and pointers are 32 bits wide here;
# off_t, ino_t and time_t are 64 bits wide only because CMakeLists.txt asks
# glibc for them (_FILE_OFFSET_BITS=64, _TIME_BITS=64).
# GoogleTest is built for the target from Debian's googletest source package.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
