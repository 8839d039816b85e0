// phantomScreen: the control server's display operation of a sharing session — taking a new
// virtual display out of mirroring and placing it beside the main display (retried while the
// platform still reports it mirrored). The control server owns one and calls it; retries hold it
// weakly, as they hold the server.
#pragma once

#include "platform/display/Interface.h"

#include <functional>
#include <memory>
#include <optional>

namespace vl {

class DisplayArrangement : public std::enable_shared_from_this<DisplayArrangement> {
  public:
    static std::shared_ptr<DisplayArrangement> make(DisplayService& displays);

    // Runs on the main queue; retries 0.25 s apart on the main queue while still mirrored.
    void setDisplayExtended(DisplayID display, int retriesRemaining,
                            std::function<void(bool)> completion = {});

  private:
    explicit DisplayArrangement(DisplayService& displays) : displays_(displays) {}
    DisplayService& displays_;
};

}  // namespace vl
