# System audio: the AAC-ELD codec wrappers of the audio stream and the microphone relay.
add_library(vl_audiocodec STATIC ZuChannels.cpp ZuAudioEncoder.cpp ZuAudioDecoder.cpp)
target_include_directories(vl_audiocodec PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(vl_audiocodec PUBLIC vl_base PRIVATE vl_aac vl_aac_decoder)

vantrel_add_tests(audiocodec_tests
  SOURCES tests/ZuAudioEncoderTests.cpp tests/ZuAudioDecoderTests.cpp
  LIBS vl_audiocodec vl_aac vl_aac_decoder)
