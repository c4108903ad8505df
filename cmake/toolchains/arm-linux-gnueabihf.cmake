# Cross build for 32-bit little-endian ARM (hard-float EABI), the devices' architecture, with
# Debian's g++-arm-linux-gnueabihf. Programs built here run under qemu-user (qemu-arm) with the
# cross sysroot, so ctest runs the whole suite on the build machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CBMP_CROSS_TRIPLE arm-linux-gnueabihf)
set(CBMP_CROSS_SYSROOT /usr/${CBMP_CROSS_TRIPLE})
set(CMAKE_C_COMPILER ${CBMP_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CBMP_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH ${CBMP_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(CBMP_QEMU NAMES qemu-arm qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CBMP_QEMU} -L ${CBMP_CROSS_SYSROOT})
