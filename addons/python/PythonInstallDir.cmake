# cbmp_python_install_dir(<out> <prefix> <major.minor>): where, below <prefix>, the Python package
# goes so that Debian's python3 finds it:
#   /usr           lib/python3/dist-packages     Debian's own packages
#   /usr/local     lib/python3.X/dist-packages   Debian's local scheme, on the default path
#   anything else  lib/python3.X/site-packages   Python's own scheme, which is also the user
#                                                site's layout: with the prefix $HOME/.local (the
#                                                user base) the package is on the default path;
#                                                any other prefix goes on PYTHONPATH
function(cbmp_python_install_dir out prefix version)
  string(REGEX REPLACE "(.)/+$" "\\1" prefix "${prefix}")
  if(prefix STREQUAL "/usr")
    set(dir "lib/python3/dist-packages")
  elseif(prefix STREQUAL "/usr/local")
    set(dir "lib/python${version}/dist-packages")
  else()
    set(dir "lib/python${version}/site-packages")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

# In script mode (cmake -DPREFIX=... -DVERSION=... -P PythonInstallDir.cmake): prints the folder.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cbmp_python_install_dir(dir "${PREFIX}" "${VERSION}")
  message("${dir}")
endif()
