# render_console: renders the console's windows to PNG files (offscreen), for looking at them.
#   ninja -C <build> render_console && <build>/bench/render_console /tmp/console-render
add_executable(render_console ${CMAKE_CURRENT_LIST_DIR}/render_console.cpp)
target_link_libraries(render_console PRIVATE vx_console_windows vx_qxd_inproc)
vx_warnings(render_console)
