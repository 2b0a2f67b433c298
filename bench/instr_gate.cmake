# The instruction-count gate (ctest instr_gate): bench/instr_gate.cpp, run under valgrind's
# callgrind by bench/instr_gate.py, which fails when an operation executes more instructions
# than its floor by more than the committed margin. Included from tests/CMakeLists.txt, so it is
# part of every build with tests; scripts/test skips it under the sanitizers.
find_program(TESSELLA_VALGRIND valgrind)
find_path(TESSELLA_CALLGRIND_INCLUDE valgrind/callgrind.h)
# Valgrind runs native programs only: a cross build has no gate.
if(TESSELLA_VALGRIND AND TESSELLA_CALLGRIND_INCLUDE AND EXISTS /usr/bin/python3 AND
   NOT CMAKE_CROSSCOMPILING)
  add_executable(tessella_instr_gate
    ${PROJECT_SOURCE_DIR}/bench/instr_gate.cpp ${PROJECT_SOURCE_DIR}/bench/primitives.cpp)
  target_include_directories(tessella_instr_gate PRIVATE
    ${PROJECT_SOURCE_DIR}/bench ${TESSELLA_CALLGRIND_INCLUDE})
  target_link_libraries(tessella_instr_gate PRIVATE tessella_static OpenSSL::Crypto
    PkgConfig::sodium blake3::blake3)
  add_test(NAME instr_gate
    COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/bench/instr_gate.py
            --driver $<TARGET_FILE:tessella_instr_gate> --valgrind ${TESSELLA_VALGRIND})
  set_tests_properties(instr_gate PROPERTIES TIMEOUT 120)
else()
  message(STATUS "valgrind or valgrind/callgrind.h not found: no instr_gate test "
                 "(scripts/bootstrap test installs valgrind)")
endif()
