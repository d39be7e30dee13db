# Throughput of finishing a blob upload (hash, sync, rename); driven by
# scripts/bench_blob_finish.sh, which compares it with sha256sum and openssl.
add_executable(blob_finish_bench ${CMAKE_CURRENT_LIST_DIR}/blob_finish_bench.cpp)
target_link_libraries(blob_finish_bench PRIVATE reg_storage)
