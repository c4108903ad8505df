# Run by CPack after it has built the packages (CPACK_PACKAGE_FILES lists them): a package that
# activates the ldconfig trigger loses the postinst and postrm scripts that CPack wrote to run
# ldconfig, when running ldconfig is all they do. The package is rebuilt with dpkg-deb, files
# owned by root.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND "${DPKG_DEB}" -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  set(changed FALSE)
  if(EXISTS "${tree}/DEBIAN/triggers")
    file(READ "${tree}/DEBIAN/triggers" triggers)
    if(triggers MATCHES "activate-noawait ldconfig")
      foreach(script postinst postrm)
        if(EXISTS "${tree}/DEBIAN/${script}")
          file(STRINGS "${tree}/DEBIAN/${script}" lines)
          # Keep a script that does anything besides the shell line, set -e, the configure /
          # remove test and ldconfig.
          list(FILTER lines EXCLUDE REGEX
            "^(#!/bin/sh|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|[ \t]*ldconfig|fi|[ \t]*)$")
          if(lines STREQUAL "")
            file(REMOVE "${tree}/DEBIAN/${script}")
            set(changed TRUE)
          endif()
        endif()
      endforeach()
    endif()
  endif()
  if(changed)
    execute_process(COMMAND "${DPKG_DEB}" --root-owner-group --build "${tree}" "${deb}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
