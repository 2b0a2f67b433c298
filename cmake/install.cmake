# Installs the headers, both libraries, the CMake package (find_package(tessella) gives
# tessella::tessella, the shared library, and tessella::static), tessella.pc, and the licence
# with the README, change log and security policy in share/doc/tessella.
include(CMakePackageConfigHelpers)

set(TESSELLA_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/tessella")

install(TARGETS tessella tessella_static EXPORT tessellaTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/tessella DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT tessellaTargets NAMESPACE tessella:: DESTINATION ${TESSELLA_CMAKE_DIR})
configure_package_config_file(cmake/tessellaConfig.cmake.in
  "${PROJECT_BINARY_DIR}/tessellaConfig.cmake" INSTALL_DESTINATION ${TESSELLA_CMAKE_DIR})
write_basic_package_version_file("${PROJECT_BINARY_DIR}/tessellaConfigVersion.cmake"
  COMPATIBILITY SameMinorVersion)
install(FILES "${PROJECT_BINARY_DIR}/tessellaConfig.cmake"
  "${PROJECT_BINARY_DIR}/tessellaConfigVersion.cmake" DESTINATION ${TESSELLA_CMAKE_DIR})

configure_file(cmake/tessella.pc.in "${PROJECT_BINARY_DIR}/tessella.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/tessella.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES LICENSE README.md CHANGELOG.md SECURITY.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
