# The page's core for WebAssembly (wasm32-wasi) with Debian's clang and lld,
# its WASI C library and its libc++ for wasm32 (packages clang lld wasi-libc
# libc++-14-dev-wasm32 libc++abi-14-dev-wasm32 libclang-rt-14-dev-wasm32),
# for the sub-build web/. Debian puts the sysroot's headers and libraries in
# /usr/include/wasm32-wasi and /usr/lib/wasm32-wasi, where clang looks for
# them with the sysroot /usr.
# The module uses none of WASI's system interface and imports nothing: to
# CMake, a target with no operating system.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR wasm32)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)
set(CMAKE_SYSROOT /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
