# Cross build for 32-bit little-endian ARM (hard-float EABI), the devices' architecture, with
# Debian's g++-arm-linux-gnueabihf; the programs run under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CBMP_CROSS_TRIPLE arm-linux-gnueabihf)
set(CBMP_QEMU_NAME qemu-arm)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake")
