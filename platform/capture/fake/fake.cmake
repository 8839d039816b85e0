add_library(vl_capture_fake STATIC ${CMAKE_CURRENT_LIST_DIR}/FakeCaptureService.cpp)
target_link_libraries(vl_capture_fake PUBLIC vl_capture)
