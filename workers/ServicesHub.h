// workers: the façade through which the application shell drives the long-lived services — the
// control service, and the virtual display library loaded before it starts and released after.
#pragma once

#include <functional>

namespace vl {

class ControlRequestService;

class ServicesHub {
  public:
    // Loading and releasing the virtual display library, where the program has one.
    struct VirtualDisplayHooks {
        std::function<void()> load;
        std::function<void()> release;
    };

    explicit ServicesHub(ControlRequestService& control, VirtualDisplayHooks hooks = {});

    void prepareServices();
    void startServices();
    void stopServices();
    // Waits until the starts and stops asked for so far are done.
    void waitUntilIdle();
    void cleanupServices();
    bool servicesRunning();

  private:
    ControlRequestService& control_;
    const VirtualDisplayHooks hooks_;
};

}  // namespace vl
