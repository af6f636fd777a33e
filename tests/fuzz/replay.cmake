# Replay tests, included by the native test build (tests/cpp): every harness is linked with
# replay_main.cpp instead of libFuzzer and runs over its whole seed corpus as one ctest, so each
# saved input is checked again by the project's compiler, warnings and sanitizers.
include(${CMAKE_CURRENT_LIST_DIR}/harnesses.cmake)
set(VELTRIX_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
add_library(veltrix_fuzz_replay_main OBJECT ${VELTRIX_FUZZ_DIR}/replay_main.cpp)
veltrix_warnings(veltrix_fuzz_replay_main)
foreach(harness IN LISTS VELTRIX_FUZZ_HARNESSES)
  add_executable(${harness}_replay ${VELTRIX_FUZZ_DIR}/${harness}_fuzzer.cpp)
  target_link_libraries(${harness}_replay PRIVATE veltrix_fuzz_replay_main ${VELTRIX_FUZZ_LIB_${harness}})
  veltrix_warnings(${harness}_replay)
  add_test(NAME fuzz_replay.${harness} COMMAND ${harness}_replay ${VELTRIX_FUZZ_DIR}/corpus/${harness})
endforeach()
