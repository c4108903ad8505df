# Installation and packaging, kept together: every install rule names the component it belongs
# to, and each component becomes one Debian package.
#
#   component      package                    contents
#   tool           cbmp                       the cbmp and cbmpz programs, their manual pages and
#                                             bash completions, the format description
#   runtime        libcbmp1                   libcbmp.so.1
#   core-runtime   libcbmpcore1               libcbmpcore.so.1 (when the cbmpcore target exists)
#   development    libcbmp-dev                headers, .so links, pkg-config files, CMake package
#   desktop-data   cbmp-desktop-data          the MIME type and the libmagic entry
#   pixbuf-loader  cbmp-gdk-pixbuf-loader     (when that component installs files)
#   python         python3-cbmp               (when that component installs files)
#   magick-coder   imagemagick-6-coder-cbmp   (when that component installs files)
#   gimp-plugin    gimp-plugin-cbmp           (when that component installs files)
#
# Included from the top-level CMakeLists.txt after every layer, so all targets exist here.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# CBMP_DEBIAN_LAYOUT: what a Debian package needs beyond a plain install (a copyright file and a
# compressed changelog in each package's documentation folder). The package preset sets it.
option(CBMP_DEBIAN_LAYOUT "Install the files each Debian package carries (copyright, changelog)" OFF)

set(CBMP_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/cbmp")
set(CBMP_DEB_RELEASE 1)

# Component -> package name, and the packages' texts.
set(CBMP_PACKAGE_tool cbmp)
set(CBMP_PACKAGE_runtime libcbmp1)
set(CBMP_PACKAGE_core-runtime libcbmpcore1)
set(CBMP_PACKAGE_development libcbmp-dev)
set(CBMP_PACKAGE_desktop-data cbmp-desktop-data)
set(CBMP_PACKAGE_pixbuf-loader cbmp-gdk-pixbuf-loader)
set(CBMP_PACKAGE_python python3-cbmp)
# ImageMagick and GIMP.
set(CBMP_PACKAGE_magick-coder imagemagick-6-coder-cbmp)
set(CBMP_PACKAGE_gimp-plugin gimp-plugin-cbmp)

# --- The tool --------------------------------------------------------------------------------
install(TARGETS cbmp RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tool)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/bash-completion/cbmp"
  DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions" COMPONENT tool)

# cbmp_manpage(<page> <component>): installs docs/<page> (cbmp.1, ...) in its section's folder,
# compressed (gzip -9n: no name, no time stamp, so the bytes are reproducible) where gzip is at
# hand, as it is on every system that packages it.
find_program(CBMP_GZIP gzip)
function(cbmp_manpage page component)
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section "${page}")
  set(source "${PROJECT_SOURCE_DIR}/docs/${page}")
  if(CBMP_GZIP AND NOT WIN32)
    set(compressed "${PROJECT_BINARY_DIR}/packaging/${page}.gz")
    add_custom_command(OUTPUT "${compressed}"
      COMMAND "${CMAKE_COMMAND}" "-DGZIP=${CBMP_GZIP}" "-DINPUT=${source}"
              "-DOUTPUT=${compressed}" -P "${PROJECT_SOURCE_DIR}/cmake/GzipFile.cmake"
      DEPENDS "${source}" "${PROJECT_SOURCE_DIR}/cmake/GzipFile.cmake"
      COMMENT "Compressing the manual page ${page}" VERBATIM)
    string(MAKE_C_IDENTIFIER "manpage_${page}" target)
    add_custom_target(${target} ALL DEPENDS "${compressed}")
    set(source "${compressed}")
  endif()
  install(FILES "${source}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${section}"
          COMPONENT ${component})
endfunction()
cbmp_manpage(cbmp.1 tool)

# cbmpz, the batch and pipe front end, beside cbmp in the same package (POSIX builds only).
if(TARGET cbmpz)
  install(TARGETS cbmpz RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tool)
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/bash-completion/cbmpz"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions" COMPONENT tool)
  cbmp_manpage(cbmpz.1 tool)
endif()

# --- The shared libraries ----------------------------------------------------------------------
install(TARGETS cbmp_shared EXPORT cbmpTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development
  PUBLIC_HEADER DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT development)
if(TARGET cbmpcore)
  install(TARGETS cbmpcore EXPORT cbmpTargets
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT core-runtime
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT core-runtime
            NAMELINK_COMPONENT development
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development
    PUBLIC_HEADER DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT development)
endif()

# --- Development files -----------------------------------------------------------------------
install(EXPORT cbmpTargets NAMESPACE cbmp:: DESTINATION "${CBMP_CMAKE_DIR}"
  COMPONENT development)
configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/cbmpConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/cbmpConfig.cmake" INSTALL_DESTINATION "${CBMP_CMAKE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/cbmpConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/cbmpConfig.cmake" "${PROJECT_BINARY_DIR}/cbmpConfigVersion.cmake"
  DESTINATION "${CBMP_CMAKE_DIR}" COMPONENT development)

# The pkg-config file finds the prefix from its own location, so the installed tree can be moved.
file(RELATIVE_PATH CBMP_PC_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" CBMP_PC_PREFIX "${CBMP_PC_PREFIX}")
configure_file("${PROJECT_SOURCE_DIR}/cmake/cbmp.pc.in" "${PROJECT_BINARY_DIR}/cbmp.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/cbmp.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
  COMPONENT development)
if(TARGET cbmpcore)
  get_target_property(CBMPCORE_VERSION cbmpcore VERSION)
  configure_file("${PROJECT_SOURCE_DIR}/cmake/cbmpcore.pc.in" "${PROJECT_BINARY_DIR}/cbmpcore.pc"
    @ONLY)
  cbmp_manpage(cbmpcore.3 development)
  install(FILES "${PROJECT_BINARY_DIR}/cbmpcore.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
    COMPONENT development)
endif()

# --- Documentation ---------------------------------------------------------------------------
get_cmake_property(CBMP_COMPONENTS COMPONENTS)
if(CBMP_DEBIAN_LAYOUT)
  # Every package carries the copyright file and the Debian changelog in its own folder.
  set(CBMP_CHANGELOG "${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz")
  add_custom_command(OUTPUT "${CBMP_CHANGELOG}"
    COMMAND "${CMAKE_COMMAND}" "-DGZIP=${CBMP_GZIP}"
            "-DINPUT=${PROJECT_SOURCE_DIR}/packaging/debian/changelog"
            "-DOUTPUT=${CBMP_CHANGELOG}" -P "${PROJECT_SOURCE_DIR}/cmake/GzipFile.cmake"
    DEPENDS "${PROJECT_SOURCE_DIR}/packaging/debian/changelog"
    COMMENT "Compressing the Debian changelog" VERBATIM)
  add_custom_target(cbmp_changelog ALL DEPENDS "${CBMP_CHANGELOG}")
  foreach(component IN LISTS CBMP_COMPONENTS)
    set(package "${CBMP_PACKAGE_${component}}")
    install(FILES "${PROJECT_SOURCE_DIR}/packaging/debian/copyright" "${CBMP_CHANGELOG}"
      DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}" COMPONENT ${component})
  endforeach()
  set(CBMP_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/cbmp")
else()
  set(CBMP_DOC_DIR "${CMAKE_INSTALL_DOCDIR}")
endif()
install(FILES "${PROJECT_SOURCE_DIR}/docs/cbmp-format.md" DESTINATION "${CBMP_DOC_DIR}"
  COMPONENT tool)

# --- Debian packages through CPack -----------------------------------------------------------
foreach(component IN LISTS CBMP_COMPONENTS)
  if(NOT DEFINED CBMP_PACKAGE_${component})
    message(FATAL_ERROR "Install component '${component}' has no package: name it in "
                        "cmake/Packaging.cmake")
  endif()
endforeach()

set(CPACK_PACKAGE_NAME cbmp)
set(CPACK_PACKAGE_VENDOR "cbmp developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# CPack puts the package summary before each component's description unless the summary is its
# built-in default; keeping that default leaves each package's own synopsis line first.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_CONTACT "cbmp developers <cbmp-devel@lists.example.org>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY cbmp)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)  # debug symbols stay out of the packages
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${CBMP_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CBMP_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies come from dpkg-shlibdeps; the libraries publish their own shlibs entries, so
# programs built against them depend on this version or later.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

# Each package's description: its own synopsis line, the paragraph common to all, and a
# paragraph on what the package holds.
set(CBMP_DESCRIPTION_TAIL
  "CBMP is a lossless container for uncompressed Windows bitmaps: the colour\n"
  "table and pixels go through an LZ77 coder with a 32 KiB window and\n"
  "bit-packed tokens, the image header is kept as it is, and the original\n"
  "file comes back byte for byte.\n\n")
function(cbmp_package component section synopsis)
  string(TOUPPER "${component}" upper)
  string(CONCAT description "${synopsis}\n" ${CBMP_DESCRIPTION_TAIL} ${ARGN})
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME "${CBMP_PACKAGE_${component}}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION "${section}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_DESCRIPTION "${description}" PARENT_SCOPE)
endfunction()

cbmp_package(tool graphics
  "lossless converter between BMP bitmaps and compact CBMP files"
  "This package has the cbmp command-line tool and cbmpz, which converts many\n"
  "files at once, directory trees and pipes with the options of the common\n"
  "compression tools, with their manual pages and bash completions, and the\n"
  "description of the CBMP file format.")
cbmp_package(runtime libs
  "lossless BMP to CBMP conversion library"
  "This package has the shared library, whose two entry points BMPCompact and\n"
  "BMPDecompact convert one file each.")
cbmp_package(core-runtime libs
  "lossless BMP to CBMP conversion core library"
  "This package has the core library, which converts files and memory buffers\n"
  "and reports its results to the caller instead of printing them.")
cbmp_package(development libdevel
  "lossless BMP to CBMP conversion library - development files"
  "This package has the C header, the pkg-config file and the CMake package\n"
  "(find_package(cbmp) gives the target cbmp::cbmp) for building programs\n"
  "against the library.")
cbmp_package(desktop-data graphics
  "CBMP file type for desktops"
  "This package has the image/x-cbmp MIME type, found by the .cbmp name and by\n"
  "the file's magic, and an entry for libmagic (file(1)) to add to /etc/magic.")
cbmp_package(pixbuf-loader graphics
  "CBMP image loader for GDK-Pixbuf"
  "This package lets programs that load images through GDK-Pixbuf open CBMP\n"
  "files.")
cbmp_package(python python
  "lossless BMP to CBMP conversion for Python 3"
  "This package has the Python 3 module over the core library.")
# ImageMagick and GIMP.
cbmp_package(magick-coder graphics
  "CBMP image coder for ImageMagick 6"
  "This package lets convert, identify and every program built on MagickCore\n"
  "read and write CBMP files.")
cbmp_package(gimp-plugin graphics
  "CBMP image file plug-in for GIMP"
  "This package lets GIMP 2.10 open and export CBMP files.")

# Dependencies between the packages. dpkg-shlibdeps cannot learn them from the system for a
# library that is being packaged in the same run: it is shown the core library's build folder
# (so it finds the file and, told to ignore the missing package information, adds nothing for
# it), and each package that links the core depends on libcbmpcore1 of the same version.
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
if(TARGET cbmpcore)
  list(APPEND CPACK_COMPONENT_DEVELOPMENT_DEPENDS core-runtime)
  get_target_property(core_dir cbmpcore LIBRARY_OUTPUT_DIRECTORY)
  if(NOT core_dir)
    get_target_property(core_dir cbmpcore BINARY_DIR)
  endif()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${core_dir}")
  # The add-ons are built over the core; the tool and the library may be.
  set(CPACK_COMPONENT_PIXBUF-LOADER_DEPENDS core-runtime)
  if("desktop-data" IN_LIST CBMP_COMPONENTS)
    list(APPEND CPACK_COMPONENT_PIXBUF-LOADER_DEPENDS desktop-data)
  endif()
  set(CPACK_COMPONENT_PYTHON_DEPENDS core-runtime)
  set(CPACK_COMPONENT_MAGICK-CODER_DEPENDS core-runtime)
  set(CPACK_COMPONENT_GIMP-PLUGIN_DEPENDS core-runtime)
  foreach(pair tool:cbmp runtime:cbmp_shared)
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 component)
    list(GET pair 1 target)
    get_target_property(links ${target} LINK_LIBRARIES)
    if("cbmpcore" IN_LIST links OR "cbmp::cbmpcore" IN_LIST links
       OR (component STREQUAL "tool" AND TARGET cbmpz))  # cbmpz runs on the core library
      string(TOUPPER "${component}" upper)
      set(CPACK_COMPONENT_${upper}_DEPENDS core-runtime)
    endif()
  endforeach()
endif()

# The MIME type and the magic are the same on every architecture.
set(CPACK_DEBIAN_DESKTOP-DATA_PACKAGE_ARCHITECTURE all)

# ImageMagick and GIMP. The coder module lives in a folder named by ImageMagick's version: it
# needs that very ImageMagick (addons/imagemagick names the package).
if("magick-coder" IN_LIST CBMP_COMPONENTS AND CBMP_MAGICK_DEB_DEPENDS)
  set(CPACK_DEBIAN_MAGICK-CODER_PACKAGE_DEPENDS "${CBMP_MAGICK_DEB_DEPENDS}")
  set(CPACK_DEBIAN_MAGICK-CODER_PACKAGE_ENHANCES "imagemagick-6.q16")
endif()
if("gimp-plugin" IN_LIST CBMP_COMPONENTS)
  set(CPACK_DEBIAN_GIMP-PLUGIN_PACKAGE_ENHANCES "gimp")
endif()

# The Python module is built for one version of Debian's python3.
if("python" IN_LIST CBMP_COMPONENTS AND Python3_EXECUTABLE)
  find_package(Python3 COMPONENTS Interpreter QUIET)
  if(Python3_FOUND)
    math(EXPR next_minor "${Python3_VERSION_MINOR} + 1")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${next_minor})")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "python3-pil")
  endif()
endif()

# Shared libraries activate the ldconfig trigger. CPack also writes postinst and postrm scripts
# that run ldconfig themselves; the trigger makes them redundant, so they are taken out of the
# finished packages.
foreach(component runtime core-runtime)
  string(TOUPPER "${component}" upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/debian/triggers")
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endforeach()
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/DropLdconfigScripts.cmake")

include(CPack)
