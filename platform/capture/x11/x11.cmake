pkg_check_modules(XCB_CAPTURE REQUIRED IMPORTED_TARGET xcb xcb-shm xcb-damage xcb-xfixes xcb-randr)

add_library(vl_capture_x11 STATIC
  ${CMAKE_CURRENT_LIST_DIR}/X11CaptureService.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11CaptureStream.cpp)
target_link_libraries(vl_capture_x11 PUBLIC vl_capture
  PRIVATE vl_capture_convert vl_display_x11 PkgConfig::XCB_CAPTURE)
