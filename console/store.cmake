add_library(vx_console_store STATIC ${CMAKE_CURRENT_LIST_DIR}/entrystore.cpp)
target_include_directories(vx_console_store PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vx_console_store PUBLIC vx_platform_registry)
vx_warnings(vx_console_store)

# Saving the engine's entries into the store: the console's close and vxctl.
add_library(vx_console_save STATIC ${CMAKE_CURRENT_LIST_DIR}/enginesave.cpp)
target_include_directories(vx_console_save PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vx_console_save PUBLIC vx_console_store vx_engine)
vx_warnings(vx_console_save)
