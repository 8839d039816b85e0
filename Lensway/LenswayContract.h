// Lensway: what the camera daemon and the server program agree on — the device identity, the
// notification names, and the formats the camera offers (in this order; index 0 is the default).
#pragma once

#include <array>
#include <string>

namespace vl::lensway {

inline constexpr const char* deviceUID = "6F2C9A14-8B3D-4E57-9A1C-D0E5F6A7B8C9";
inline constexpr const char* cameraName = "Corvane Persona Camera";
inline constexpr const char* cameraModel = "Corvane Persona Elite";
inline constexpr const char* cameraManufacturer = "Corvane LLC";
inline constexpr const char* streamName = "PersonaCapture.Video";

inline constexpr const char* showDeviceName = "com.corvane.cam.persona.showDevice";
inline constexpr const char* hideDeviceName = "com.corvane.cam.persona.hideDevice";
inline constexpr const char* formatPrefix = "com.corvane.cam.persona.format.";
inline constexpr const char* formatStopName = "com.corvane.cam.persona.format.stop";

struct CameraFormat {
    int width = 0;
    int height = 0;
    int framesPerSecond = 25;
    bool operator==(const CameraFormat&) const = default;
};

// NV12 (8-bit bi-planar 4:2:0, video range) at 25 frames per second.
inline constexpr std::array<CameraFormat, 2> cameraFormats = {CameraFormat{1280, 720, 25},
                                                              CameraFormat{1920, 1080, 25}};

inline std::string formatNotificationName(const CameraFormat& format) {
    return formatPrefix + std::to_string(format.width) + "x" + std::to_string(format.height);
}

}  // namespace vl::lensway
