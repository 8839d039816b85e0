# Display capture and HEVC encoding of a sharing session.
add_library(vl_videocapture STATIC
  ${CMAKE_CURRENT_LIST_DIR}/VNSCapture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VNSCaptureConfig.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AnnexB.cpp)
target_include_directories(vl_videocapture PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(vl_videocapture PUBLIC vl_capture vl_videocodec vl_base)

vantrel_add_tests(capture_video_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/VNSCaptureAnnexBTests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/VNSCaptureTests.cpp
  LIBS vl_videocapture vl_capture_fake vl_videocodec_fake vl_testing)

# The same capture over the real software encoder, checked with an independent decoder.
if(TARGET vl_videocodec_x265 AND TARGET vl_videocodec_decoder)
  vantrel_add_tests(capture_video_x265_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/VNSCaptureX265Tests.cpp
    LIBS vl_videocapture vl_capture_fake vl_videocodec_x265 vl_videocodec_decoder)
endif()
