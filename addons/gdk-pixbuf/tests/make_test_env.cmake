# Builds the loader's test environment without touching the system: a loaders cache that lists
# the system's loaders and the CBMP loader from the build tree (for GDK_PIXBUF_MODULE_FILE), and a
# MIME database that holds the CBMP type (for XDG_DATA_DIRS).
# Variables: QUERY_LOADERS, SYSTEM_MODULE_DIR, LOADER, CACHE, MIME_XML, MIME_ROOT, UPDATE_MIME.
file(GLOB system_loaders "${SYSTEM_MODULE_DIR}/*.so")
execute_process(COMMAND "${QUERY_LOADERS}" ${system_loaders} "${LOADER}"
                OUTPUT_FILE "${CACHE}.new" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gdk-pixbuf-query-loaders failed (${status})")
endif()
file(READ "${CACHE}.new" listing)
if(NOT listing MATCHES "\"cbmp\"")
  message(FATAL_ERROR "the CBMP loader is missing from the loaders cache")
endif()
file(RENAME "${CACHE}.new" "${CACHE}")

file(REMOVE_RECURSE "${MIME_ROOT}")
file(MAKE_DIRECTORY "${MIME_ROOT}/mime/packages")
configure_file("${MIME_XML}" "${MIME_ROOT}/mime/packages/cbmp.xml" COPYONLY)
execute_process(COMMAND "${UPDATE_MIME}" "${MIME_ROOT}/mime" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "update-mime-database failed (${status})")
endif()
