# Installation of the library, the pkg-config and CMake package files, the
# manual pages and the Debian package (each program installs itself).
# Included last by the top level, so every target exists by now.

include(CMakePackageConfigHelpers)

set(ZOK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zok)
set(ZOK_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# zok links zok_interface publicly for the header, so the export needs both.
install(TARGETS zok zok_interface EXPORT zokTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The unversioned name is only for linking new programs against; it goes
# with the header and the package files.
install(TARGETS zok LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_ONLY)
install(FILES ${PROJECT_SOURCE_DIR}/zok/zok.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zok)

install(EXPORT zokTargets NAMESPACE zok:: DESTINATION ${ZOK_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zokConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zokConfig.cmake
  INSTALL_DESTINATION ${ZOK_CMAKE_DIR})
# Until 1.0 a minor release may change the interface, hence SameMinorVersion.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zokConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zokConfig.cmake ${PROJECT_BINARY_DIR}/zokConfigVersion.cmake
  DESTINATION ${ZOK_CMAKE_DIR})

# The .pc file finds its prefix from where it lies, so the same file serves
# /usr, /usr/local, a --prefix tree and an unpacked package alike.
file(RELATIVE_PATH ZOK_PC_TO_PREFIX /${ZOK_PKGCONFIG_DIR} /)
string(REGEX REPLACE "/$" "" ZOK_PC_TO_PREFIX "${ZOK_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/zok.pc.in ${PROJECT_BINARY_DIR}/zok.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zok.pc DESTINATION ${ZOK_PKGCONFIG_DIR})

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} OPTIONAL)

add_subdirectory(${PROJECT_SOURCE_DIR}/man ${PROJECT_BINARY_DIR}/man)

# The Debian package. One package holds the tools, the library and what is
# needed to build against it: the users are lab machines next to cameras,
# where a separate -dev package would only be one more thing to forget.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zok-tools)
set(CPACK_PACKAGE_VENDOR "zok project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "GigE Vision stream receive tools and the libzok GVSP engine")
set(CPACK_PACKAGE_DESCRIPTION
  "plaingrab and workergrab receive GVSP streams from GigE Vision cameras, check the blocks \
and print loss and resend statistics; niclabel names network adapters; strobix sends test \
streams and answers resend requests. libzok is the user-space receive engine they use, with \
its header, pkg-config file and CMake package.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug information stays in the build tree; the package is for running.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "zok developers <zok@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps (dpkg-dev) states the C and C++ runtime versions the build
# really needs; without it, name them by hand for the toolchain of this
# platform.
find_program(ZOK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZOK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # libzok.so.0 is in the package itself; tell dpkg-shlibdeps where.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_LIBDIR})
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
  if(TARGET camctl)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libpugixml1v5, libzip4, libpng16-16")
  endif()
endif()
# Registers libzok with ldconfig on install and removal.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
include(CPack)

if(ZOK_BUILD_TESTS)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/package ${PROJECT_BINARY_DIR}/tests/package)
endif()
