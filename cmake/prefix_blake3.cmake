# Renames the bundled BLAKE3's global symbols in the static archive (blake3_* becomes
# tessella_blake3_*, definitions and references alike), so that a host linking its own BLAKE3
# next to libtessella.a gets no duplicate symbols. Run after the archive is built:
#   cmake -DNM=... -DOBJCOPY=... -DARCHIVE=... -P prefix_blake3.cmake
execute_process(COMMAND "${NM}" -g --defined-only "${ARCHIVE}" OUTPUT_VARIABLE listing
                RESULT_VARIABLE rc ERROR_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot list the symbols of ${ARCHIVE}")
endif()
string(REGEX MATCHALL "[ \t](_?blake3_[A-Za-z0-9_]+)\n" found "${listing}")
set(map "")
foreach(entry IN LISTS found)
  string(STRIP "${entry}" name)
  string(APPEND map "${name} tessella_${name}\n")
endforeach()
if(map STREQUAL "")
  return()
endif()
file(WRITE "${ARCHIVE}.blake3-syms" "${map}")
execute_process(COMMAND "${OBJCOPY}" "--redefine-syms=${ARCHIVE}.blake3-syms" "${ARCHIVE}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot rename the BLAKE3 symbols of ${ARCHIVE}")
endif()
