# Checks the dynamic symbol table of the shared library: exactly BMPCompact and BMPDecompact are
# defined there, and the SONAME is libcbmp.so.1.
# Usage: cmake -DNM=<nm> -DOBJDUMP=<objdump> -DLIBRARY=<libcbmp.so> -P check_exports.cmake
execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}"
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
if(NOT names STREQUAL "BMPCompact;BMPDecompact")
  message(FATAL_ERROR "exported symbols are [${names}], expected [BMPCompact;BMPDecompact]")
endif()

execute_process(COMMAND "${OBJDUMP}" -p "${LIBRARY}" OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT headers MATCHES "SONAME +libcbmp\\.so\\.1\n")
  message(FATAL_ERROR "SONAME is not libcbmp.so.1")
endif()
message(STATUS "exports: ${names}; SONAME libcbmp.so.1")
