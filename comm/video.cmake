# The video stream server of a sharing session.
add_library(vl_video STATIC ${CMAKE_CURRENT_LIST_DIR}/VideoServer.cpp)
target_link_libraries(vl_video PUBLIC vl_endpoint vl_wire)
target_include_directories(vl_video PUBLIC ${CMAKE_SOURCE_DIR})

vantrel_add_tests(comm_video_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/VideoServerTests.cpp
  LIBS vl_video vl_client vl_testing)

# The sharing sessions of the control server capture displays and serve their video.
if(TARGET vl_control)
  target_link_libraries(vl_control PUBLIC vl_video vl_videocapture vl_phantomscreen)
endif()
if(TARGET comm_control_tests)
  target_link_libraries(comm_control_tests PRIVATE
    vl_capture_fake vl_videocodec_fake vl_phantomscreen_fake ${CMAKE_DL_LIBS})
  target_compile_definitions(comm_control_tests PRIVATE
    FAKE_LIBRARY_PATH="$<TARGET_FILE:PhantomScreenTestLib>")
  add_dependencies(comm_control_tests PhantomScreenTestLib)
endif()
