# The official BLAKE3 C implementation, vendored in third_party/blake3 (release 1.3.1, see
# third_party/README.md): the Swift package compiles the same copy. Its C sources are compiled
# into an object library with the SIMD paths of the target: the x86-64 assembly kernels (SSE2,
# SSE4.1, AVX2, AVX-512) or NEON on arm64. The result is the target blake3::blake3.
#
# BLAKE3_SOURCE_DIR may point at another directory holding blake3.c and friends (the c/ directory
# of a BLAKE3 release).

include(FindPackageHandleStandardArgs)

if(NOT BLAKE3_SOURCE_DIR)
  set(BLAKE3_SOURCE_DIR "${PROJECT_SOURCE_DIR}/third_party/blake3" CACHE PATH
      "Directory with the BLAKE3 C sources")
endif()
if(NOT EXISTS "${BLAKE3_SOURCE_DIR}/blake3.c" OR NOT EXISTS "${BLAKE3_SOURCE_DIR}/blake3_dispatch.c")
  unset(BLAKE3_SOURCE_DIR CACHE)
  unset(BLAKE3_SOURCE_DIR)
endif()

find_package_handle_standard_args(blake3
  REQUIRED_VARS BLAKE3_SOURCE_DIR
  REASON_FAILURE_MESSAGE "third_party/blake3 is missing (or set BLAKE3_SOURCE_DIR)")

if(NOT blake3_FOUND)
  return()
endif()

set(BLAKE3_FROM_SOURCES TRUE)
set(_d "${BLAKE3_SOURCE_DIR}")
set(_sources "${_d}/blake3.c" "${_d}/blake3_dispatch.c" "${_d}/blake3_portable.c")
set(_defs "")

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND NOT WIN32)
  enable_language(ASM)
  list(APPEND _sources
    "${_d}/blake3_sse2_x86-64_unix.S" "${_d}/blake3_sse41_x86-64_unix.S"
    "${_d}/blake3_avx2_x86-64_unix.S" "${_d}/blake3_avx512_x86-64_unix.S")
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  list(APPEND _sources "${_d}/blake3_neon.c")
  list(APPEND _defs BLAKE3_USE_NEON=1)
else()
  list(APPEND _defs BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512)
endif()

add_library(tessella_blake3 OBJECT ${_sources})
set_target_properties(tessella_blake3 PROPERTIES
  POSITION_INDEPENDENT_CODE ON C_VISIBILITY_PRESET hidden C_STANDARD 99)
target_compile_definitions(tessella_blake3 PRIVATE ${_defs})
target_include_directories(tessella_blake3 SYSTEM PUBLIC "$<BUILD_INTERFACE:${_d}>")
# Sanitizer and fuzzing builds pass their flags through CMAKE_C_FLAGS; the assembly kernels
# take no C flags, so nothing more is needed here.
add_library(blake3::blake3 ALIAS tessella_blake3)
