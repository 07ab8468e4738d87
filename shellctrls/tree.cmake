# The shell tree view.
list(APPEND VX_SHELLCTRLS_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ShellTree.cpp)
# The tree reports errors through the application object and asks for its main window.
cmake_language(DEFER DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
  CALL target_link_libraries vx_shellctrls PUBLIC vx_platform_gui vx_platform_exec)
