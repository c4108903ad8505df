# Cross build for 64-bit big-endian IBM Z (s390x), a host of the other byte order, with Debian's
# g++-s390x-linux-gnu; the programs run under qemu-s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CBMP_CROSS_TRIPLE s390x-linux-gnu)
set(CBMP_QEMU_NAME qemu-s390x)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake")
