// virtualAudio/host: the audio server's side of the plug-in: loads it by path, asks its factory
// for the driver, initialises it with a host interface whose change notifications are handed on,
// and turns property requests and recorders into calls of its interface table.
#pragma once

#include "virtualAudio/PropertyChannel.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

struct AudioServerPlugInDriverInterface;

namespace vl::michost {

class DriverHost {
  public:
    // Called on the driver's threads with each changed selector.
    using ChangeHandler = std::function<void(std::uint32_t selector)>;

    static std::unique_ptr<DriverHost> load(const std::string& path, ChangeHandler onChange,
                                            std::string* error);
    ~DriverHost();
    DriverHost(const DriverHost&) = delete;
    DriverHost& operator=(const DriverHost&) = delete;

    // The device for a UID; 0 when the driver knows none.
    std::uint32_t translate(const std::string& uid);
    // Custom properties as their number or bytes; other device properties as a 4-byte number.
    std::pair<std::int32_t, micchannel::Value> get(std::uint32_t selector);
    std::int32_t set(std::uint32_t selector, const micchannel::Value& value);
    void startIO(std::uint32_t client);
    void stopIO(std::uint32_t client);
    // One read cycle of stereo float frames.
    void read(float* into, std::uint32_t frames);

  private:
    DriverHost() = default;
    static int changed(const void* host, std::uint32_t object, std::uint32_t count,
                       const void* addresses);

    void* library_ = nullptr;
    AudioServerPlugInDriverInterface** driver_ = nullptr;
    ChangeHandler onChange_;
    struct HostSlot;
    std::unique_ptr<HostSlot> slot_;
    std::uint64_t cycle_ = 0;
};

}  // namespace vl::michost
