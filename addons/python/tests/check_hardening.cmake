# cmake -DREADELF=<readelf> -DMODULE=<module.so> -P check_hardening.cmake
cmake_minimum_required(VERSION 3.25)
# The Python module binds every symbol at load (BIND_NOW, lintian's hardening-no-bindnow) and has a
# read-only relocation table (GNU_RELRO).
execute_process(COMMAND "${READELF}" -W -d -l "${MODULE}" OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${READELF} could not read ${MODULE}")
endif()
if(NOT dump MATCHES "\\(FLAGS\\)[^\n]*BIND_NOW" AND NOT dump MATCHES "\\(BIND_NOW\\)")
  message(FATAL_ERROR "${MODULE} is not linked with -z now:\n${dump}")
endif()
if(NOT dump MATCHES "GNU_RELRO")
  message(FATAL_ERROR "${MODULE} has no GNU_RELRO segment")
endif()
message(STATUS "${MODULE}: BIND_NOW and GNU_RELRO")
