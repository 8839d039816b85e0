#include "windowsmgmt/WindowManagementRole.h"

#include <unistd.h>

namespace vl {

std::shared_ptr<WindowManagementRole> WindowManagementRole::make(
    std::shared_ptr<DisplayService> displays, std::shared_ptr<WindowService> windows,
    DispatchQueue& queue) {
    VNSWindowManager::Options options;
    options.ownPID = static_cast<ProcessID>(::getpid());
    auto role = std::make_shared<WindowManagementRole>(
        VNSWindowManager::make(*displays, *windows, options, queue));
    role->displays_ = std::move(displays);
    role->windows_ = std::move(windows);
    return role;
}

WindowManagementRole::WindowManagementRole(std::shared_ptr<VNSWindowManager> manager)
    : manager_(std::move(manager)) {}

void WindowManagementRole::rememberAllDisplays() {
    manager_->rememberAllDisplays();
}

void WindowManagementRole::setMainDisplay(DisplayID display) {
    manager_->setMainDisplay(display);
}

void WindowManagementRole::moveAllWindowsToDisplay(DisplayID display) {
    manager_->moveAllWindowsToDisplay(display);
}

int WindowManagementRole::saveWindowLayout(const std::string& client,
                                           const std::string& resolution) {
    auto displays = manager_->refreshDisplays();
    VNSLayoutSnapshot snapshot{std::chrono::system_clock::now(), std::move(displays),
                               manager_->captureWindows()};
    const int count = static_cast<int>(snapshot.windows.size());
    clientWindowLayouts_[client] = {resolution, std::move(snapshot)};
    return count;
}

bool WindowManagementRole::hasWindowLayout(const std::string& client,
                                           const std::string& resolution) {
    auto it = clientWindowLayouts_.find(client);
    return it != clientWindowLayouts_.end() && it->second.first == resolution;
}

void WindowManagementRole::restoreWindowLayout(const std::string& client,
                                               const std::string& resolution) {
    if (hasWindowLayout(client, resolution))
        manager_->restoreWindows(clientWindowLayouts_[client].second);
}

void WindowManagementRole::startNewWindowObserver(DisplayID targetDisplay) {
    manager_->startNewWindowObserver(targetDisplay);
}

void WindowManagementRole::stopNewWindowObserver() {
    manager_->stopNewWindowObserver();
}

void WindowManagementRole::restoreMainDisplay() {
    manager_->restoreMainDisplay();
}

void WindowManagementRole::restoreAllWindows() {
    manager_->restoreAllWindows();
}

int WindowManagementRole::moveWindowsToVDIfNotOnVD(DisplayID display) {
    return manager_->moveWindowsToVDIfNotOnVD(display);
}

bool WindowManagementRole::moveActiveWindowToDisplay(DisplayID display, bool alignRight) {
    return manager_->moveActiveWindowToDisplay(display, alignRight);
}

void WindowManagementRole::setOnActiveWindowDisplayChanged(
    std::function<void(DisplayID)> callback) {
    manager_->onActiveWindowDisplayChanged = std::move(callback);
}

}  // namespace vl
