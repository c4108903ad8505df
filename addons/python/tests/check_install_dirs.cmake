# cmake -DPYTHON=<python3> -DVERSION=<X.Y> -DSCRATCH=<folder> -P check_install_dirs.cmake
cmake_minimum_required(VERSION 3.25)
# For the prefixes /usr, /usr/local and a user base (PYTHONUSERBASE, as $HOME/.local is), the
# folder that PythonInstallDir.cmake chooses must be one that the interpreter searches.
include("${CMAKE_CURRENT_LIST_DIR}/../PythonInstallDir.cmake")
file(REMOVE_RECURSE "${SCRATCH}")
set(user_base "${SCRATCH}/home/.local")
foreach(prefix /usr /usr/local "${user_base}/")
  cbmp_python_install_dir(dir "${prefix}" "${VERSION}")
  string(REGEX REPLACE "/$" "" base "${prefix}")
  set(wanted "${base}/${dir}")
  # The user site is searched only once it exists.
  file(MAKE_DIRECTORY "${user_base}/${dir}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env "PYTHONUSERBASE=${user_base}" --unset=PYTHONPATH
                          "${PYTHON}" -c "import sys; print('\\n'.join(sys.path))"
                  OUTPUT_VARIABLE searched RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${PYTHON} did not run")
  endif()
  string(REPLACE "\n" ";" searched "${searched}")
  if(NOT wanted IN_LIST searched)
    message(FATAL_ERROR "prefix ${prefix}: ${wanted} is not on ${PYTHON}'s path:\n${searched}")
  endif()
  message(STATUS "prefix ${prefix}: ${dir}, on the interpreter's path")
endforeach()
