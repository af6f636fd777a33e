# Warnings for the project's own targets; errors in development and CI builds only, so a user's
# `pip install` on a newer compiler is never broken by a new warning.
function(veltrix_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion -Wnon-virtual-dtor -Wold-style-cast
                                           -Woverloaded-virtual -Wimplicit-fallthrough)
  if(VELTRIX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
