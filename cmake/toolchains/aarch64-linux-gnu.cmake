# The host tests built for AArch64 Linux, run under qemu-aarch64: plain char
# is unsigned there, as on the AArch64 image.
set(QUILLMERE_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUILLMERE_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxUser.cmake)
