# Installation and packaging: the cbmp tool, the shared library with its header, a pkg-config file,
# a CMake package (find_package(cbmp) gives cbmp::cbmp), the manual page, and a .deb through CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CBMP_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/cbmp")

install(TARGETS cbmp RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime)
install(TARGETS cbmp_shared EXPORT cbmpTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT development
  PUBLIC_HEADER DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT development)
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

install(FILES "${PROJECT_SOURCE_DIR}/docs/cbmp.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
  COMPONENT runtime)
install(FILES "${PROJECT_SOURCE_DIR}/docs/cbmp-format.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}"
  COMPONENT runtime)

set(CPACK_PACKAGE_NAME cbmp)
set(CPACK_PACKAGE_VENDOR "cbmp project")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Lossless BMP to CBMP converter: tool and shared library")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "cbmp maintainers <cbmp@localhost>")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
set(CPACK_PACKAGE_INSTALL_DIRECTORY cbmp)
include(CPack)
