# The API reference. `cmake --build DIR --target docs` runs Doxygen (scripts/bootstrap docs) over
# README.md, CHANGELOG.md, SECURITY.md, the public headers and docs/, writing DIR/docs/html. The
# docs_warnings test runs it once more and fails on any warning, an undocumented public symbol
# among them.
find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
  set(TESSELLA_DOCS_OUTPUT "${PROJECT_BINARY_DIR}/docs")
  configure_file(docs/Doxyfile.in "${PROJECT_BINARY_DIR}/docs/Doxyfile" @ONLY)
  add_custom_target(docs
    COMMAND Doxygen::doxygen "${PROJECT_BINARY_DIR}/docs/Doxyfile"
    COMMENT "API reference: ${TESSELLA_DOCS_OUTPUT}/html/index.html"
    VERBATIM)
  # The test writes elsewhere, so that it may run while the docs target does.
  set(TESSELLA_DOCS_OUTPUT "${PROJECT_BINARY_DIR}/docs-check")
  configure_file(docs/Doxyfile.in "${PROJECT_BINARY_DIR}/docs-check/Doxyfile" @ONLY)
  set(tessella_doxygen "${DOXYGEN_EXECUTABLE}")
else()
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E echo "docs: Doxygen is not installed (scripts/bootstrap docs)"
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
  set(tessella_doxygen "")
endif()

if(TESSELLA_BUILD_TESTS AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME docs_warnings
    COMMAND ${CMAKE_COMMAND} "-DDOXYGEN=${tessella_doxygen}"
            "-DDOXYFILE=${PROJECT_BINARY_DIR}/docs-check/Doxyfile"
            -P "${PROJECT_SOURCE_DIR}/cmake/docs_check.cmake")
endif()
