pkg_check_modules(XCB_EVENTS_TEST REQUIRED IMPORTED_TARGET xcb)
vantrel_add_tests(events_x11_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/X11EventsServiceTests.cpp
  LIBS vl_events_x11 vl_desktop PkgConfig::XCB_EVENTS_TEST)
