# sha256_file throughput on a file of the caller's choice.
add_executable(sha256_file_bench ${CMAKE_CURRENT_LIST_DIR}/sha256_file_bench.cpp)
target_link_libraries(sha256_file_bench PRIVATE sha256)
