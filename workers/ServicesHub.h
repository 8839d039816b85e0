// workers: the façade through which the application shell drives the long-lived services.
#pragma once

#include <functional>

namespace vl {

class ServicesHub {
  public:
    ServicesHub() = delete;

    // Loading and releasing the virtual display library, installed by the program where it has
    // one (nothing happens while they are empty).
    static void setVirtualDisplayHooks(std::function<void()> load, std::function<void()> release);

    static void prepareServices();
    static void startServices();
    static void stopServices();
    static void cleanupServices();
};

}  // namespace vl
