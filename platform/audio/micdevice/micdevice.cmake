# The virtual microphone as a device of the audio service, through its host's property channel.
add_library(vl_micdevice STATIC micdevice/PropertyChannel.cpp micdevice/MicDeviceProvider.cpp)
target_link_libraries(vl_micdevice PUBLIC vl_audio vl_localsocket Threads::Threads)

vantrel_add_tests(micdevice_tests SOURCES micdevice/tests/PropertyChannelTests.cpp LIBS vl_micdevice)
