vantrel_add_tests(capture_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/CaptureTests.cpp ${CMAKE_CURRENT_LIST_DIR}/FramePacerTests.cpp
  LIBS vl_capture_fake vl_capture_convert)

pkg_check_modules(XCB_CAPTURE_TEST REQUIRED IMPORTED_TARGET xcb xcb-xfixes)
vantrel_add_tests(capture_x11_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/X11CaptureStreamTests.cpp
  LIBS vl_capture_x11 vl_capture_convert vl_videocodec_x265 vl_videocodec_decoder
       vl_desktop PkgConfig::XCB_CAPTURE_TEST)
