# Shared by the toolchain files beside it: a host test tree for another
# Linux instruction set, built by clang against Debian's cross libraries
# alone (libc6-dev-, libgcc-12-dev- and libstdc++-12-dev-ARCH-cross, which
# live under /usr/TRIPLE and leave g++-multilib installed, where the cross
# compiler drivers would remove it) and run under qemu-user with that
# folder as its root for the dynamic loader and libraries.
#
# Each file sets QUILLMERE_TRIPLE, CMAKE_SYSTEM_PROCESSOR and QUILLMERE_QEMU,
# and QUILLMERE_LINKER where lld does not serve.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${QUILLMERE_TRIPLE})
if(NOT QUILLMERE_LINKER)
  set(QUILLMERE_LINKER lld)
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT -fuse-ld=${QUILLMERE_LINKER})

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLMERE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test discovery, CTest and the fuzz runs start every program of the tree
# through this.
find_program(QUILLMERE_QEMU_PROGRAM ${QUILLMERE_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLMERE_QEMU_PROGRAM} -L /usr/${QUILLMERE_TRIPLE})
