# System audio: the AAC-ELD codec wrappers of the audio stream and the microphone relay.
add_library(vl_audiocodec STATIC ZuChannels.cpp ZuAudioEncoder.cpp ZuAudioDecoder.cpp)
target_include_directories(vl_audiocodec PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(vl_audiocodec PUBLIC vl_base PRIVATE vl_aac vl_aac_decoder)

vantrel_add_tests(audiocodec_tests
  SOURCES tests/ZuAudioEncoderTests.cpp tests/ZuAudioDecoderTests.cpp
  LIBS vl_audiocodec vl_aac vl_aac_decoder)

# The audio tap: reads the virtual output device through the audio service every 8 ms.
add_library(vl_audiotap STATIC ZuAudio.cpp AudioTap.cpp PcmFormat.cpp PcmConverter.cpp)
target_include_directories(vl_audiotap PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(vl_audiotap PUBLIC vl_base vl_audio)

vantrel_add_tests(audiotap_tests
  SOURCES tests/AudioTapTests.cpp
  LIBS vl_audiotap vl_audio_fake vl_testing)
