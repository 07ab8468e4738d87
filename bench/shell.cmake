# Shell namespace listing benchmark: run by hand (see bench/shell_listing.cpp).
add_executable(shell_bench ${CMAKE_CURRENT_SOURCE_DIR}/shell_listing.cpp)
target_link_libraries(shell_bench PRIVATE vx_shellctrls_core)
vx_warnings(shell_bench)
