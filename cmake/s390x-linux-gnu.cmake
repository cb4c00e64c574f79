# Cross build for s390x Linux, a big-endian machine, with Debian's
# g++-s390x-linux-gnu, run under qemu-s390x:
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
#   cmake --build build-s390x -j2 && ctest --test-dir build-s390x
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(_qemu qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
