# The fuzz harnesses: <name>_fuzzer.cpp tests the library VELTRIX_FUZZ_LIB_<name> and keeps its
# seed corpus in corpus/<name>/. Both the clang fuzz build (CMakeLists.txt here) and the replay
# tests of the native test build (replay.cmake) read this list.
set(VELTRIX_FUZZ_HARNESSES ir_reader sexpr_reader pattern_reader member_token)
set(VELTRIX_FUZZ_LIB_ir_reader veltrix_store)
set(VELTRIX_FUZZ_LIB_sexpr_reader veltrix_egraph)
set(VELTRIX_FUZZ_LIB_pattern_reader veltrix_egraph)
set(VELTRIX_FUZZ_LIB_member_token veltrix_optimizer)
