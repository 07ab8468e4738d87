add_library(vx_password_store STATIC ${CMAKE_CURRENT_LIST_DIR}/scrambler.cpp ${CMAKE_CURRENT_LIST_DIR}/askpass.cpp)
target_include_directories(vx_password_store PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vx_password_store PUBLIC vx_platform_registry vx_platform_codepage)
vx_warnings(vx_password_store)
