# Engine benchmarks and the engine's fuzz targets (bench/engine_bench.sh, bench/fuzz_engine.sh).
add_executable(engine_bench ${CMAKE_CURRENT_SOURCE_DIR}/engine_bench.cpp)
target_link_libraries(engine_bench PRIVATE vx_engine vx_platform_device)
vx_warnings(engine_bench)
add_dependencies(engine_bench qxd-engine)

if(VX_FUZZ)
  add_executable(fuzz_qxd_core ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_qxd_core.cpp ${PROJECT_SOURCE_DIR}/qxd/core.cpp)
  target_include_directories(fuzz_qxd_core PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(fuzz_qxd_core PRIVATE -g -fsanitize=fuzzer,address,undefined)
  target_link_options(fuzz_qxd_core PRIVATE -fsanitize=fuzzer,address,undefined)
  add_executable(fuzz_qxd_socket ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_qxd_socket.cpp ${PROJECT_SOURCE_DIR}/qxd/server.cpp
                 ${PROJECT_SOURCE_DIR}/qxd/core.cpp ${PROJECT_SOURCE_DIR}/qxd/identity.cpp)
  target_include_directories(fuzz_qxd_socket PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(fuzz_qxd_socket PRIVATE -g -fsanitize=fuzzer,address,undefined)
  target_link_options(fuzz_qxd_socket PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(fuzz_qxd_socket PRIVATE Threads::Threads)
endif()
