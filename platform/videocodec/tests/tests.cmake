vantrel_add_tests(videocodec_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/X265CompressionSessionTests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/VaapiCompressionSessionTests.cpp
          ${CMAKE_CURRENT_LIST_DIR}/FakeVideoCodecServiceTests.cpp
  LIBS vl_videocodec_x265 vl_videocodec_vaapi vl_videocodec_fake vl_videocodec_decoder
       vl_capture_fake)
