#include "platform/network/Interface.h"

namespace vl {

std::string NetworkError::description() const {
    std::string text;
    switch (code) {
        case Code::addressInUse:
            text = "address already in use";
            break;
        case Code::socketFailure:
            text = "socket failure";
            break;
        case Code::noIdentity:
            text = "no TLS identity";
            break;
        case Code::handshakeFailed:
            text = "handshake failed";
            break;
        case Code::timedOut:
            text = "timed out";
            break;
        case Code::closedByPeer:
            text = "closed by peer";
            break;
        case Code::streamReset:
            text = "stream reset by peer";
            break;
        case Code::transportError:
            text = "transport error";
            break;
        case Code::cancelled:
            text = "cancelled";
            break;
        case Code::hostUnresolved:
            text = "host not resolved";
            break;
    }
    if (!detail.empty()) text += ": " + detail;
    return text;
}

std::string description(ConnectionState state) {
    switch (state) {
        case ConnectionState::setup:
            return "setup";
        case ConnectionState::preparing:
            return "preparing";
        case ConnectionState::ready:
            return "ready";
        case ConnectionState::waiting:
            return "waiting";
        case ConnectionState::failed:
            return "failed";
        case ConnectionState::cancelled:
            return "cancelled";
    }
    return "unknown";
}

std::string description(ListenerState state) {
    switch (state) {
        case ListenerState::setup:
            return "setup";
        case ListenerState::ready:
            return "ready";
        case ListenerState::failed:
            return "failed";
        case ListenerState::cancelled:
            return "cancelled";
    }
    return "unknown";
}

}  // namespace vl
