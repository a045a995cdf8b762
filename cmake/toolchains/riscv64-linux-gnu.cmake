# The host tests built for RISC-V 64 Linux, run under qemu-riscv64: plain
# char is unsigned there, as on the RISC-V image.
set(QUILLMERE_TRIPLE riscv64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(QUILLMERE_QEMU qemu-riscv64)
# lld 14 cannot link the C library's start files: their R_RISCV_ALIGN
# relocations need linker relaxation, which it does not implement. GNU ld
# (binutils-riscv64-linux-gnu) does.
set(QUILLMERE_LINKER bfd)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxUser.cmake)
