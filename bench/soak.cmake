# Soak benchmark (bench/soak.sh); needs root.
add_executable(soak ${CMAKE_CURRENT_SOURCE_DIR}/soak.cpp)
target_link_libraries(soak PRIVATE vx_engine)
vx_warnings(soak)
add_dependencies(soak qxd-engine)
