# Shell list view benchmark: run by hand (see bench/list_fill.cpp).
#   ninja -C <build> list_bench && <build>/bench/list_bench 100000 3
if(TARGET vx_shellctrls)
  add_executable(list_bench ${CMAKE_CURRENT_SOURCE_DIR}/list_fill.cpp)
  target_link_libraries(list_bench PRIVATE vx_shellctrls)
  vx_warnings(list_bench)
endif()
