# The fuzz targets, with absolute source paths, so that both fuzz/CMakeLists.txt and attach.cmake
# (which runs in the top directory) can define them.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "The fuzz targets need clang (libFuzzer): use the fuzz preset")
endif()

set(REPOHOST_FUZZ_SANITIZERS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)

foreach(target fuzz_params fuzz_read_string fuzz_reg_reader)
    add_executable(${target} ${CMAKE_CURRENT_LIST_DIR}/${target}.cpp)
    target_compile_options(${target} PRIVATE ${REPOHOST_FUZZ_SANITIZERS})
    target_link_options(${target} PRIVATE ${REPOHOST_FUZZ_SANITIZERS})
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endforeach()
target_link_libraries(fuzz_params PRIVATE repohost_core)
target_link_libraries(fuzz_read_string PRIVATE repohost_core standin)
target_link_libraries(fuzz_reg_reader PRIVATE standin)
