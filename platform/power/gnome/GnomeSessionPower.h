// platform/power/gnome: display-sleep prevention on a GNOME session — an idle inhibitor of the
// session manager (org.gnome.SessionManager), which keeps the session from going idle, so the
// screen neither blanks nor locks. The inhibitor lives as long as the connection that asked, so
// the connection is kept. Input that reaches Mutter through its remote-desktop sessions is user
// activity already: there is nothing to declare. Without a session manager it says so once.
#pragma once

#include "platform/mutter/MutterBus.h"
#include "platform/power/Interface.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace vl {

class GnomeSessionPower final : public PowerService {
  public:
    using Report = std::function<void(const std::string&)>;

    // `busAddress` empty: the user's session bus, connected at first use.
    GnomeSessionPower(std::string busAddress, Report report);

    std::optional<PowerAssertionID> preventUserIdleDisplaySleep(const std::string& name) override;
    std::optional<PowerAssertionID> declareUserActivity(const std::string& name) override;
    void releaseAssertion(PowerAssertionID id) override;

  private:
    std::shared_ptr<MutterBus> connection(std::string* error);
    void reportOnce(const std::string& text);

    const std::string address_;
    Report report_;
    std::mutex mutex_;
    std::shared_ptr<MutterBus> bus_;
    bool reported_ = false;
};

}  // namespace vl
