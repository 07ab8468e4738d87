# The shell list view.
list(APPEND VX_SHELLCTRLS_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ShellList.cpp ${CMAKE_CURRENT_SOURCE_DIR}/ShellList.h)
# The controls report errors through the application's error report.
cmake_language(DEFER CALL target_link_libraries vx_shellctrls PUBLIC vx_platform_gui)
