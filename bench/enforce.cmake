# Enforcement benchmark (bench/enforce_bench.sh); needs root.
add_executable(enforce_bench ${CMAKE_CURRENT_SOURCE_DIR}/enforce_bench.cpp)
target_link_libraries(enforce_bench PRIVATE vx_engine vx_qxd_enforce)
vx_warnings(enforce_bench)
add_dependencies(enforce_bench qxd-engine)

# Scale benchmark (bench/enforce_scale.sh); needs root.
add_executable(enforce_scale ${CMAKE_CURRENT_SOURCE_DIR}/enforce_scale.cpp)
target_link_libraries(enforce_scale PRIVATE vx_engine)
vx_warnings(enforce_scale)
add_dependencies(enforce_scale qxd-engine)
