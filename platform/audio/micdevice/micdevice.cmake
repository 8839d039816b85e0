# The virtual microphone as a device of the audio service, through its host's property channel.
# The channel itself is the host's contract (virtualAudio/PropertyChannel.h).
add_library(vl_micdevice STATIC micdevice/MicDeviceProvider.cpp)
target_link_libraries(vl_micdevice PUBLIC vl_audio vl_mic_property_channel)
