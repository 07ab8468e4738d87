# SPDX-License-Identifier: GPL-3.0-or-later
# The console's windows and the program Vellamorix.
add_library(vx_console_windows STATIC
  ${CMAKE_CURRENT_LIST_DIR}/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/about.cpp
  ${CMAKE_CURRENT_LIST_DIR}/datafiles.cpp
  ${CMAKE_CURRENT_LIST_DIR}/denials.cpp
  ${CMAKE_CURRENT_LIST_DIR}/images.cpp)
target_include_directories(vx_console_windows PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vx_console_windows PUBLIC
  vx_engine vx_console_store vx_console_save vx_password_dialogs vx_password_store vx_editor
  vx_platform_gui vx_platform_exec vx_platform_codepage_qt Qt6::Widgets)
if(TARGET vx_platform_device)
  target_link_libraries(vx_console_windows PUBLIC vx_platform_device)
endif()
vx_warnings(vx_console_windows)
# Notifications go through the desktop's notification service where there is no tray.
find_package(Qt6 QUIET COMPONENTS DBus)
if(TARGET Qt6::DBus)
  target_link_libraries(vx_console_windows PUBLIC Qt6::DBus)
  target_compile_definitions(vx_console_windows PRIVATE VX_HAVE_QTDBUS=1)
  set_target_properties(vx_console_windows PROPERTIES AUTOMOC ON)
endif()

add_executable(Vellamorix ${CMAKE_CURRENT_LIST_DIR}/vellamorix.cpp)
target_link_libraries(Vellamorix PRIVATE vx_console_windows vx_platform_process)
# The folder picker, once its library is there.
if(TARGET vx_editor_folder)
  target_link_libraries(Vellamorix PRIVATE vx_editor_folder)
  target_compile_definitions(Vellamorix PRIVATE VX_HAVE_FOLDER_PICKER=1)
endif()
vx_warnings(Vellamorix)

# The help file the help command opens and the window icon, beside the program.
configure_file(${CMAKE_CURRENT_LIST_DIR}/Vellamorix.hlp ${CMAKE_CURRENT_BINARY_DIR}/Vellamorix.hlp COPYONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vellamorix.png ${CMAKE_CURRENT_BINARY_DIR}/vellamorix.png COPYONLY)
