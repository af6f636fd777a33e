# The C++ runtime the extension module carries inside itself.
#
# Linked dynamically, libstdc++ puts its own symbol versions (GLIBCXX_*, CXXABI_*) into the
# module's requirements, and those follow the compiler, not the C library: a module built with a
# current GCC would refuse to load on any system whose libstdc++ is older, however old a C
# library it needs. Linked statically, only the C library's versions remain, and the wheel's
# platform tag can be as wide as they allow. The copy stays private: --exclude-libs keeps every
# symbol of the static archive out of the module's dynamic symbol table, so it can neither serve
# nor take over another module's C++ runtime in the same interpreter. That is sound here because
# no C++ object or exception crosses the module's boundary; only the C API does.
#
# libgcc stays shared (libgcc_s.so.1, which every manylinux policy allows at the versions used
# here): its static unwinder, built against a current C library, would require that library's
# newest symbols (_dl_find_object, the 2.34 thread functions). The static libstdc++ itself names
# a few newer C library symbols; src/python/static_runtime_shims.cpp binds those inside the module.
#
# Sanitized builds keep the shared runtime: the sanitizers hook the runtime's entry points
# through the dynamic linker (AddressSanitizer's hook of __cxa_throw clears the stack poisoning
# of the frames an exception unwinds), and calls inside a private static copy never reach them.
option(VELTRIX_STATIC_CXX_RUNTIME
       "Link libstdc++ statically into the extension module (not in sanitized builds)" ON)

include(CheckLinkerFlag)

# Sets `result_var` in the caller to whether `target` links the static runtime (and so needs
# the shims).
function(veltrix_static_cxx_runtime target result_var)
  set(${result_var} OFF PARENT_SCOPE)
  if(NOT VELTRIX_STATIC_CXX_RUNTIME OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    return()
  endif()
  if(VELTRIX_SANITIZE OR VELTRIX_TSAN)
    message(STATUS "${target}: shared C++ runtime (sanitized builds cannot carry a static one)")
    return()
  endif()
  # Some toolchains ship no static libstdc++ (a separate package on several distributions):
  # a plain build must still succeed then, with the shared runtime.
  check_linker_flag(CXX "-static-libstdc++" veltrix_has_static_cxx_runtime)
  if(NOT veltrix_has_static_cxx_runtime)
    message(WARNING "${target}: no static libstdc++ for this compiler; the module links the shared "
                    "C++ runtime and needs one at least as new as this compiler's where it is installed")
    return()
  endif()
  target_link_options(${target} PRIVATE -static-libstdc++ LINKER:--exclude-libs,ALL)
  set(${result_var} ON PARENT_SCOPE)
  message(STATUS "${target}: static, private C++ runtime")
endfunction()
