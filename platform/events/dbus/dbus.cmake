pkg_check_modules(GIO_EVENTS REQUIRED IMPORTED_TARGET gio-2.0)
add_library(vl_events_dbus STATIC ${CMAKE_CURRENT_LIST_DIR}/DbusInputMethodState.cpp)
target_include_directories(vl_events_dbus PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(vl_events_dbus PRIVATE PkgConfig::GIO_EVENTS)
