# Warnings for the project's own targets; errors in development and CI builds only, so a user's
# `pip install` on a newer compiler is never broken by a new warning.
function(veltrix_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion -Wnon-virtual-dtor -Wold-style-cast
                                           -Woverloaded-virtual -Wimplicit-fallthrough)
  # GCC 12 reports impossible overlaps inside std::string concatenation at -O3 (a known false
  # positive of -Wrestrict in that release).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
     AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  # With the sanitizers' instrumentation GCC loses track of which std::variant alternative a
  # temporary holds and reports its members as maybe uninitialised when it is moved.
  if((VELTRIX_SANITIZE OR VELTRIX_TSAN) AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
  if(VELTRIX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
