// platform/pathmonitor/netlink: address and link changes from the kernel's routing socket.
#pragma once

#include "platform/pathmonitor/Interface.h"

#include <atomic>
#include <thread>

namespace vl {

class NetlinkPathMonitor final : public PathMonitor {
  public:
    ~NetlinkPathMonitor() override;

    void setUpdateHandler(std::function<void()> handler) override;
    void start(DispatchQueue& queue) override;
    void cancel() override;

  private:
    void run(DispatchQueue& queue);

    std::function<void()> handler_;
    int socket_ = -1;
    int wake_ = -1;  // eventfd that ends the reader
    std::thread reader_;
};

}  // namespace vl
