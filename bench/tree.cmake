# Shell tree benchmark: run by hand (see bench/tree_expand.cpp).
#   ninja -C <build> tree_bench && <build>/bench/tree_bench 10000 5
add_executable(tree_bench ${CMAKE_CURRENT_SOURCE_DIR}/tree_expand.cpp)
target_link_libraries(tree_bench PRIVATE vx_editor_folder vx_shellctrls)
vx_warnings(tree_bench)
