#include "platform/pathmonitor/netlink/NetlinkPathMonitor.h"

#include "base/DispatchQueue.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace vl {

NetlinkPathMonitor::~NetlinkPathMonitor() {
    cancel();
}

void NetlinkPathMonitor::setUpdateHandler(std::function<void()> handler) {
    handler_ = std::move(handler);
}

void NetlinkPathMonitor::start(DispatchQueue& queue) {
    if (reader_.joinable()) return;
    socket_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (socket_ < 0 || wake_ < 0 ||
        ::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        // Without the routing socket no change is ever seen; the server keeps its first address.
        cancel();
        return;
    }
    reader_ = std::thread([this, &queue] { run(queue); });
}

void NetlinkPathMonitor::run(DispatchQueue& queue) {
    char buffer[16384];
    pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_, POLLIN, 0}};
    while (::poll(fds, 2, -1) >= 0 || errno == EINTR) {
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
        if (n <= 0) continue;
        // One update per batch of messages: the handler re-reads the whole path anyway.
        bool relevant = false;
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, n);
             header = NLMSG_NEXT(header, n)) {
            switch (header->nlmsg_type) {
                case RTM_NEWADDR:
                case RTM_DELADDR:
                case RTM_NEWLINK:
                case RTM_DELLINK:
                    relevant = true;
                    break;
                default:
                    break;
            }
        }
        if (relevant && handler_) queue.async(handler_);
    }
}

void NetlinkPathMonitor::cancel() {
    if (wake_ >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wake_, &one, sizeof one);
    }
    if (reader_.joinable()) reader_.join();
    if (socket_ >= 0) ::close(socket_);
    if (wake_ >= 0) ::close(wake_);
    socket_ = wake_ = -1;
}

}  // namespace vl
