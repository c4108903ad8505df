# Shared part of the Linux cross toolchains: the caller sets CMAKE_SYSTEM_PROCESSOR,
# CBMP_CROSS_TRIPLE (the Debian cross compiler's prefix) and CBMP_QEMU_NAME (the qemu-user program
# that runs its programs). The compilers are Debian's g++-<triple>; programs built here run under
# qemu-user with the cross sysroot, so ctest runs the whole suite on the build machine.
set(CMAKE_SYSTEM_NAME Linux)

set(CBMP_CROSS_SYSROOT /usr/${CBMP_CROSS_TRIPLE})
set(CMAKE_C_COMPILER ${CBMP_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CBMP_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH ${CBMP_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(CBMP_QEMU NAMES ${CBMP_QEMU_NAME} ${CBMP_QEMU_NAME}-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CBMP_QEMU} -L ${CBMP_CROSS_SYSROOT})
