/// @file
/// Symbol visibility for the shared library. Everything is hidden by default; TESSELLA_API marks
/// the C ABI and the C++ API.
#ifndef TESSELLA_EXPORT_HPP
#define TESSELLA_EXPORT_HPP

/// @def TESSELLA_API
/// Marks a declaration as part of the shared library's interface.
#if defined(_WIN32)
#  if defined(TESSELLA_BUILDING)
#    define TESSELLA_API __declspec(dllexport)
#  else
#    define TESSELLA_API
#  endif
#else
#  define TESSELLA_API __attribute__((visibility("default")))
#endif

#endif
