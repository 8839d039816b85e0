# The video stream server of a sharing session.
add_library(vl_video STATIC ${CMAKE_CURRENT_LIST_DIR}/VideoServer.cpp)
target_link_libraries(vl_video PUBLIC vl_endpoint vl_wire vl_systeminfo)
target_include_directories(vl_video PUBLIC ${CMAKE_SOURCE_DIR})

vantrel_add_tests(comm_video_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/VideoServerTests.cpp
  LIBS vl_video)
