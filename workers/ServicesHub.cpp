#include "workers/ServicesHub.h"

#include "workers/ControlRequestService.h"

#include <mutex>

namespace vl {

namespace {

std::mutex hooksMutex;
std::function<void()> loadLibrary;
std::function<void()> releaseLibrary;

}  // namespace

void ServicesHub::setVirtualDisplayHooks(std::function<void()> load,
                                         std::function<void()> release) {
    std::lock_guard lock(hooksMutex);
    loadLibrary = std::move(load);
    releaseLibrary = std::move(release);
}

void ServicesHub::prepareServices() {
    std::lock_guard lock(hooksMutex);
    if (loadLibrary) loadLibrary();
}

void ServicesHub::startServices() {
    ControlRequestService::shared().start();
}

void ServicesHub::stopServices() {
    ControlRequestService::shared().stop();
}

void ServicesHub::cleanupServices() {
    std::lock_guard lock(hooksMutex);
    if (releaseLibrary) releaseLibrary();
}

}  // namespace vl
