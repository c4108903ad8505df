# cmake -DGZIP=<gzip> -DINPUT=<file> -DOUTPUT=<file.gz> -P GzipFile.cmake: compresses INPUT at the
# highest level without its name or time stamp, so the same input always gives the same bytes.
execute_process(COMMAND "${GZIP}" -9nc "${INPUT}" OUTPUT_FILE "${OUTPUT}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "gzip failed on ${INPUT}")
endif()
