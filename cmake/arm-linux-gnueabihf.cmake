# Cross build for armhf Linux (32-bit ARM boards, hard-float ABI) with
# Debian's g++-arm-linux-gnueabihf, run under qemu-arm:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#   cmake --build build-armhf -j2 && ctest --test-dir build-armhf
# The one 32-bit target: size_t, long and pointers are 32 bits wide here;
# off_t, ino_t and time_t are 64 bits wide only because CMakeLists.txt asks
# glibc for them (_FILE_OFFSET_BITS=64, _TIME_BITS=64).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(_qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
