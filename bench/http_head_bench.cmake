# HEAD request rate and latency for scripts/bench.sh (wrk times GET and PUT).
add_executable(http_head_bench ${CMAKE_CURRENT_LIST_DIR}/http_head_bench.cpp)
find_package(Threads REQUIRED)
target_link_libraries(http_head_bench PRIVATE Threads::Threads)
