# CBMP_BUILD_FUZZERS: the libFuzzer targets in fuzz/. The whole build is then instrumented for
# coverage-guided fuzzing with AddressSanitizer and UndefinedBehaviorSanitizer, any report
# fatal; the fuzz targets link the libFuzzer engine. Clang only.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "CBMP_BUILD_FUZZERS needs clang (CC=clang CXX=clang++)")
endif()
set(CBMP_FUZZ_FLAGS "-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all")
string(APPEND CMAKE_C_FLAGS " ${CBMP_FUZZ_FLAGS}")
string(APPEND CMAKE_CXX_FLAGS " ${CBMP_FUZZ_FLAGS}")
string(APPEND CMAKE_EXE_LINKER_FLAGS " -fsanitize=address,undefined")
string(APPEND CMAKE_SHARED_LINKER_FLAGS " -fsanitize=address,undefined")
