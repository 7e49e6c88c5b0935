# Installs what another project needs to use the library:
#   include/tacetra.h and the tacetra_version.h it includes
#   the shared library, with its SONAME (libquenlark-tacetra.so.1)
#   a CMake package:  find_package(quenlark-tacetra CONFIG)
#                     target_link_libraries(app PRIVATE quenlark-tacetra::quenlark-tacetra)
#   a pkg-config file: pkg-config --cflags --libs quenlark-tacetra
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TACETRA_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quenlark-tacetra)

install(TARGETS quenlark-tacetra EXPORT quenlark-tacetra-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/tacetra.h ${TACETRA_GENERATED_INCLUDE_DIR}/tacetra_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT quenlark-tacetra-targets
  NAMESPACE quenlark-tacetra::
  DESTINATION ${TACETRA_PACKAGE_DIR})
configure_package_config_file(cmake/quenlark-tacetra-config.cmake.in
  ${PROJECT_BINARY_DIR}/quenlark-tacetra-config.cmake
  INSTALL_DESTINATION ${TACETRA_PACKAGE_DIR})
# The C interface keeps its meaning within a major version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quenlark-tacetra-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/quenlark-tacetra-config.cmake
  ${PROJECT_BINARY_DIR}/quenlark-tacetra-config-version.cmake
  DESTINATION ${TACETRA_PACKAGE_DIR})

# The pkg-config file finds the prefix from its own place, so an installed
# tree still works after it has been moved (or installed with --prefix).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(TACETRA_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(TACETRA_PC_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR})
  set(TACETRA_PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_INCLUDEDIR})
else()
  file(RELATIVE_PATH pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" pc_to_prefix ${pc_to_prefix})
  set(TACETRA_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
  set(TACETRA_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(TACETRA_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(cmake/quenlark-tacetra.pc.in ${PROJECT_BINARY_DIR}/quenlark-tacetra.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quenlark-tacetra.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
