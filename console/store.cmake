add_library(vx_console_store STATIC ${CMAKE_CURRENT_LIST_DIR}/entrystore.cpp)
target_include_directories(vx_console_store PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vx_console_store PUBLIC vx_platform_registry)
vx_warnings(vx_console_store)
