# SPDX-License-Identifier: GPL-3.0-or-later
# The password dialogs.
add_library(vx_password_dialogs STATIC
  ${CMAKE_CURRENT_LIST_DIR}/dialogfields.cpp
  ${CMAKE_CURRENT_LIST_DIR}/setpass.cpp
  ${CMAKE_CURRENT_LIST_DIR}/okpass.cpp
  ${CMAKE_CURRENT_LIST_DIR}/changepwd.cpp)
target_include_directories(vx_password_dialogs PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vx_password_dialogs PUBLIC vx_password_store vx_platform_gui vx_platform_codepage_qt Qt6::Widgets)
vx_warnings(vx_password_dialogs)
