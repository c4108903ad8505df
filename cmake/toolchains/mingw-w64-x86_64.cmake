# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64): cbmp.dll, cbmp.exe
# and the Windows test host. Programs built here run under wine on the build machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CBMP_MINGW_PREFIX x86_64-w64-mingw32)
# The POSIX thread model gives std::thread; fall back to the default compiler where it is absent.
find_program(CBMP_MINGW_CXX NAMES ${CBMP_MINGW_PREFIX}-g++-posix ${CBMP_MINGW_PREFIX}-g++)
find_program(CBMP_MINGW_CC NAMES ${CBMP_MINGW_PREFIX}-gcc-posix ${CBMP_MINGW_PREFIX}-gcc)
set(CMAKE_C_COMPILER ${CBMP_MINGW_CC})
set(CMAKE_CXX_COMPILER ${CBMP_MINGW_CXX})
set(CMAKE_RC_COMPILER ${CBMP_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CBMP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's own runtime (libgcc, libstdc++, winpthread) is linked in, so the DLL and the
# programs need nothing beside the system's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Test programs run under wine.
find_program(CBMP_WINE NAMES wine wine64)
if(CBMP_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CBMP_WINE})
endif()
