if(VELTRIX_SANITIZE AND VELTRIX_TSAN)
  message(FATAL_ERROR "VELTRIX_SANITIZE and VELTRIX_TSAN cannot be combined")
endif()
if(VELTRIX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
# ThreadSanitizer, for the extension loaded into an interpreter built with it (see
# scripts/tsan-stress.sh): an uninstrumented interpreter's memory reuse looks like races.
if(VELTRIX_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
