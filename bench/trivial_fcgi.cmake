# The per-request floor for a resident FastCGI program: a fixed reply from
# a static libfcgi responder, in a directory of its own that scripts/bench.sh
# serves in FastCGI mode. Sanitizer builds cannot link statically.
if(NOT REG_SANITIZE)
    add_executable(trivial_fcgi ${CMAKE_CURRENT_LIST_DIR}/trivial_fcgi.cpp
                                ${CMAKE_SOURCE_DIR}/endpoint/static_names.cpp)
    target_include_directories(trivial_fcgi PRIVATE ${FCGI_INCLUDE_DIR})
    target_link_libraries(trivial_fcgi PRIVATE ${FCGI_LIBRARY})
    target_link_options(trivial_fcgi PRIVATE -static)
    set_target_properties(trivial_fcgi PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench/fcgi-bin)
endif()
