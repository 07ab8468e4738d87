# SPDX-License-Identifier: GPL-3.0-or-later
# The folder picker.
add_library(vx_editor_folder STATIC ${CMAKE_CURRENT_SOURCE_DIR}/folder.cpp)
target_include_directories(vx_editor_folder PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vx_editor_folder PUBLIC vx_editor vx_shellctrls vx_platform_gui vx_platform_codepage_qt Qt6::Widgets)
vx_warnings(vx_editor_folder)
