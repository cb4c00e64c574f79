# The part of a cross build for Linux that Debian's cross compilers share:
# the compilers named by the target's triplet, its libraries and headers
# under /usr/<triplet>, and its programs (the tool and the whole test suite)
# run under qemu-user (package qemu-user) with that root. GoogleTest is built
# for the target from Debian's googletest source package. Included by the
# toolchain file of each target, named by its triplet, which sets _qemu and
# the processor.
get_filename_component(_triplet ${CMAKE_PARENT_LIST_FILE} NAME_WE)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${_triplet}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu} -L /usr/${_triplet})
