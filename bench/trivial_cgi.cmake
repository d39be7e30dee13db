# The per-request floor for a CGI program: fully static, fixed reply. It
# gets a directory of its own, which scripts/bench.sh hands to
# lighttpd_conf.sh as the CGI directory, so the floor is served the way the
# registry is without joining the registry's programs. Sanitizer builds
# cannot link statically.
if(NOT REG_SANITIZE)
    add_executable(trivial_cgi ${CMAKE_CURRENT_LIST_DIR}/trivial_cgi.cpp)
    target_link_options(trivial_cgi PRIVATE -static)
    set_target_properties(trivial_cgi PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench/cgi-bin)
endif()
