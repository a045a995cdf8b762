# The host tests built for 32-bit ARM Linux, run under qemu-arm: 32-bit
# UINTN and pointers with plain char unsigned, as on the ARM image.
set(QUILLMERE_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(QUILLMERE_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/LinuxUser.cmake)
