// comm: follows the camera daemon's format notifications — an application started the camera at
// a size, or stopped it — and reports each as (width, height), with (0, 0) for a stop. The names
// are observed one by one: the notify centre has no prefix match.
#pragma once

#include "platform/notify/Interface.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vl {

class PersonaFormatObserver {
  public:
    using Callback = std::function<void(int width, int height)>;

    static constexpr const char* formatPrefix = "com.corvane.cam.persona.format.";
    static constexpr const char* stopName = "com.corvane.cam.persona.format.stop";
    // The names the camera relay observes: the two sizes of the camera and the stop.
    static std::vector<std::string> cameraNames();

    PersonaFormatObserver(std::shared_ptr<NotifyCenter> center, std::vector<std::string> names,
                          Callback callback);
    ~PersonaFormatObserver();
    PersonaFormatObserver(const PersonaFormatObserver&) = delete;
    PersonaFormatObserver& operator=(const PersonaFormatObserver&) = delete;

    // Observes every name once; a second start does nothing.
    void start();
    void stop();
    bool isStarted() const;
    // One notification: the stop name gives (0, 0); "<anything>.<W>x<H>" gives (W, H); other
    // names are ignored.
    void handle(const std::string& name);

  private:
    static void dispatch(const std::string& name, const Callback& callback);

    const std::shared_ptr<NotifyCenter> center_;
    const std::vector<std::string> names_;
    const Callback callback_;
    mutable std::mutex mutex_;
    bool started_ = false;
    std::vector<NotifyCenter::Token> tokens_;
};

}  // namespace vl
