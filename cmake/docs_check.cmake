# Runs Doxygen on DOXYFILE and fails on any warning it prints (cmake -DDOXYGEN=... -DDOXYFILE=...
# -P docs_check.cmake). An empty DOXYGEN means Doxygen was not found when configuring.
if(NOT DOXYGEN)
  message(FATAL_ERROR "Doxygen is not installed: run scripts/bootstrap docs, then reconfigure")
endif()
execute_process(COMMAND "${DOXYGEN}" "${DOXYFILE}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE warnings)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "doxygen exited with ${rc}:\n${out}${warnings}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${warnings}")
list(LENGTH lines count)
if(count GREATER 0)
  message(FATAL_ERROR "${warnings}\n${count} Doxygen warnings")
endif()
message(STATUS "0 Doxygen warnings")
