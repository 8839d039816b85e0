#include "workers/ServicesHub.h"

#include "workers/ControlRequestService.h"

#include <utility>

namespace vl {

ServicesHub::ServicesHub(ControlRequestService& control, VirtualDisplayHooks hooks)
    : control_(control), hooks_(std::move(hooks)) {}

void ServicesHub::prepareServices() {
    if (hooks_.load) hooks_.load();
}

void ServicesHub::startServices() {
    control_.start();
}

void ServicesHub::stopServices() {
    control_.stop();
}

void ServicesHub::waitUntilIdle() {
    control_.waitUntilIdle();
}

void ServicesHub::cleanupServices() {
    if (hooks_.release) hooks_.release();
}

bool ServicesHub::servicesRunning() {
    return control_.isRunning();
}

}  // namespace vl
