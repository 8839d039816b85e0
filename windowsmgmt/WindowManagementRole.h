// windowsmgmt: the session's window-management role — the window manager, plus each client's
// layout at the resolution it last shared, kept in memory for the life of the server.
#pragma once

#include "comm/SessionEnvironment.h"
#include "windowsmgmt/VNSWindowManager.h"

#include <map>
#include <memory>
#include <string>
#include <utility>

namespace vl {

class WindowManagementRole final : public WindowManagement {
  public:
    explicit WindowManagementRole(std::shared_ptr<VNSWindowManager> manager);
    // The server's role: the manager on the main queue over these services, which it keeps
    // alive, with this process's windows never moved.
    // The window manager lives on `queue`, the desktop's.
    static std::shared_ptr<WindowManagementRole> make(std::shared_ptr<DisplayService> displays,
                                                      std::shared_ptr<WindowService> windows,
                                                      DispatchQueue& queue);

    VNSWindowManager& manager() { return *manager_; }
    // For other session services that move windows (the pointer's window snap).
    std::shared_ptr<VNSWindowManager> sharedManager() const { return manager_; }

    void rememberAllDisplays() override;
    void setMainDisplay(DisplayID display) override;
    void moveAllWindowsToDisplay(DisplayID display) override;
    int saveWindowLayout(const std::string& client, const std::string& resolution) override;
    bool hasWindowLayout(const std::string& client, const std::string& resolution) override;
    void restoreWindowLayout(const std::string& client, const std::string& resolution) override;
    void startNewWindowObserver(DisplayID targetDisplay) override;
    void stopNewWindowObserver() override;
    void restoreMainDisplay() override;
    void restoreAllWindows() override;
    int moveWindowsToVDIfNotOnVD(DisplayID display) override;
    bool moveActiveWindowToDisplay(DisplayID display, bool alignRight) override;
    void setOnActiveWindowDisplayChanged(std::function<void(DisplayID)> callback) override;

  private:
    std::shared_ptr<DisplayService> displays_;
    std::shared_ptr<WindowService> windows_;
    std::shared_ptr<VNSWindowManager> manager_;
    // Client identity → (resolution text, layout).
    std::map<std::string, std::pair<std::string, VNSLayoutSnapshot>> clientWindowLayouts_;
};

}  // namespace vl
