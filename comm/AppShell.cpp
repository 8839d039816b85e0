#include "comm/AppShell.h"

#include <mutex>

namespace vl {

namespace {

std::mutex appMutex;
std::shared_ptr<AppShell> currentApp;

}  // namespace

std::shared_ptr<AppShell> getApp() {
    std::lock_guard lock(appMutex);
    return currentApp;
}

void setApp(std::shared_ptr<AppShell> app) {
    std::lock_guard lock(appMutex);
    currentApp = std::move(app);
}

}  // namespace vl
