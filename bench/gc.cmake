# Time of garbage collection on a store of many blobs and manifests (built
# through the storage library, then collected with reg_gc); prints key=value.
add_executable(gc_bench ${CMAKE_CURRENT_LIST_DIR}/gc_bench.cpp)
target_link_libraries(gc_bench PRIVATE reg_storage)
