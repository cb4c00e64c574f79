# Cross build for arm64 Linux (64-bit ARM boards) with Debian's
# g++-aarch64-linux-gnu, run under qemu-aarch64:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#   cmake --build build-arm64 -j2 && ctest --test-dir build-arm64
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(_qemu qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
