pkg_check_modules(XCB_EVENTS REQUIRED IMPORTED_TARGET xcb xcb-xtest)

add_library(vl_events_x11 STATIC ${CMAKE_CURRENT_LIST_DIR}/X11EventsService.cpp)
target_link_libraries(vl_events_x11 PUBLIC vl_events PRIVATE PkgConfig::XCB_EVENTS)
