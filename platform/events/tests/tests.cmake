pkg_check_modules(XCB_EVENTS_TEST REQUIRED IMPORTED_TARGET xcb)
vantrel_add_tests(events_x11_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/X11EventsServiceTests.cpp
  LIBS vl_events_x11 vl_desktop PkgConfig::XCB_EVENTS_TEST)

vantrel_add_tests(input_method_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/InputMethodStateTests.cpp
  LIBS vl_events_dbus vl_desktop vl_base)
if(TARGET input_method_tests)
  target_compile_definitions(input_method_tests PRIVATE
    FAKE_INPUT_METHOD_PATH="${CMAKE_CURRENT_LIST_DIR}/fake_input_method.py")
endif()
