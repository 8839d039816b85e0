// platform/pathmonitor: tells when the host's network paths (interfaces, addresses) change.
#pragma once

#include <functional>
#include <memory>

namespace vl {

class DispatchQueue;

class PathMonitor {
  public:
    virtual ~PathMonitor() = default;

    // Called on the start queue after every change; the new path is for the handler to read.
    virtual void setUpdateHandler(std::function<void()> handler) = 0;
    virtual void start(DispatchQueue& queue) = 0;
    virtual void cancel() = 0;
};

using PathMonitorFactory = std::function<std::unique_ptr<PathMonitor>()>;

}  // namespace vl
