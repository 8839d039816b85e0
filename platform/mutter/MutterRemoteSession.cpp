#include "platform/mutter/MutterRemoteSession.h"

#include <cstring>
#include <thread>

#include <linux/input-event-codes.h>

namespace vl {

namespace {

constexpr const char* remoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* remoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* remoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* screenCastName = "org.gnome.Mutter.ScreenCast";
constexpr const char* screenCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* screenCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* screenCastStream = "org.gnome.Mutter.ScreenCast.Stream";

std::string failure(const char* step, int r, const sd_bus_error& error) {
    std::string text = std::string(step) + ": ";
    text += error.message ? error.message : std::strerror(-r);
    return text;
}

void setError(std::string* out, std::string text) {
    if (out) *out = std::move(text);
}

// Reads one object path reply; empty on failure.
std::string readPath(sd_bus_message* reply) {
    const char* path = nullptr;
    if (sd_bus_message_read(reply, "o", &path) < 0 || !path) return {};
    return path;
}

}  // namespace

std::unique_ptr<MutterRemoteSession> MutterRemoteSession::start(std::shared_ptr<MutterBus> bus,
                                                                const Options& options,
                                                                std::string* error) {
    std::unique_ptr<MutterRemoteSession> session(new MutterRemoteSession(bus));
    auto& self = *session;
    std::string problem;
    const bool made = bus->withBus([&](sd_bus* connection) {
        sd_bus_error callError = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        auto step = [&](const char* name, int r) {
            if (r >= 0) return true;
            problem = failure(name, r, callError);
            return false;
        };
        auto done = [&] {
            sd_bus_error_free(&callError);
            sd_bus_message_unref(reply);
            reply = nullptr;
        };
        if (!step("CreateSession (remote desktop)",
                  sd_bus_call_method(connection, remoteDesktopName, remoteDesktopPath,
                                     remoteDesktopName, "CreateSession", &callError, &reply, ""))) {
            done();
            return false;
        }
        self.sessionPath_ = readPath(reply);
        done();
        char* sessionId = nullptr;
        if (!step("SessionId", sd_bus_get_property_string(
                                   connection, remoteDesktopName, self.sessionPath_.c_str(),
                                   remoteDesktopSession, "SessionId", &callError, &sessionId))) {
            done();
            return false;
        }
        const std::string id = sessionId;
        free(sessionId);
        if (!step("CreateSession (screen cast)",
                  sd_bus_call_method(
                      connection, screenCastName, screenCastPath, screenCastName, "CreateSession",
                      &callError, &reply, "a{sv}", 2, "remote-desktop-session-id", "s", id.c_str(),
                      "disable-animations", "b", static_cast<int>(options.disableAnimations)))) {
            done();
            return false;
        }
        self.screenCastPath_ = readPath(reply);
        done();
        if (!step("RecordVirtual",
                  sd_bus_call_method(connection, screenCastName, self.screenCastPath_.c_str(),
                                     screenCastSession, "RecordVirtual", &callError, &reply,
                                     "a{sv}", 1, "cursor-mode", "u",
                                     static_cast<std::uint32_t>(options.cursorMode)))) {
            done();
            return false;
        }
        self.streamPath_ = readPath(reply);
        done();
        return !self.sessionPath_.empty() && !self.screenCastPath_.empty() &&
               !self.streamPath_.empty();
    });
    if (!made) {
        setError(error, problem.empty() ? "Mutter answered without an object path" : problem);
        return nullptr;
    }
    // The node is announced once the session starts: listen before starting it.
    self.nodeMatch_ = bus->addSignalMatch(self.streamPath_, screenCastStream, "PipeWireStreamAdded",
                                          [&self](sd_bus_message* m) {
                                              std::uint32_t node = 0;
                                              if (sd_bus_message_read(m, "u", &node) >= 0)
                                                  self.announcedNode_ = node;
                                          });
    self.closedMatch_ = bus->addSignalMatch(self.sessionPath_, remoteDesktopSession, "Closed",
                                            [&self](sd_bus_message*) { self.closed_ = true; });
    // Mutter gone from the bus closes every session, without a Closed signal.
    self.ownerMatch_ = bus->addSignalMatch(
        "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
        [&self](sd_bus_message* m) {
            const char *name = nullptr, *before = nullptr, *after = nullptr;
            if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0 || !name || !after)
                return;
            if (std::strcmp(name, remoteDesktopName) == 0 && *after == '\0') self.closed_ = true;
        });
    if (!self.nodeMatch_ || !self.closedMatch_ || !self.ownerMatch_) {
        setError(error, "cannot listen for the stream's signals");
        return nullptr;
    }
    const int started = bus->withBus([&](sd_bus* connection) {
        sd_bus_error callError = SD_BUS_ERROR_NULL;
        int r = sd_bus_call_method(connection, remoteDesktopName, self.sessionPath_.c_str(),
                                   remoteDesktopSession, "Start", &callError, nullptr, "");
        if (r < 0) problem = failure("Start", r, callError);
        sd_bus_error_free(&callError);
        return r;
    });
    if (started < 0) {
        setError(error, problem);
        return nullptr;
    }
    const auto deadline = std::chrono::steady_clock::now() + options.nodeTimeout;
    while (self.announcedNode_ == 0 && !self.closed_ && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (self.announcedNode_ == 0) {
        setError(error, self.closed_ ? "the session closed before its stream had a PipeWire node"
                                     : "no PipeWire node announced for the stream");
        return nullptr;
    }
    self.node_ = self.announcedNode_;
    // The session's virtual keyboard loses its first event while Mutter is still adding the
    // device: spend it now on a Shift tap, long before the first real key.
    self.keyboardKeycode(KEY_LEFTSHIFT, true);
    self.keyboardKeycode(KEY_LEFTSHIFT, false);
    return session;
}

MutterRemoteSession::~MutterRemoteSession() {
    stop();
    bus_->dropMatch(nodeMatch_);
    bus_->dropMatch(closedMatch_);
    bus_->dropMatch(ownerMatch_);
}

void MutterRemoteSession::stop() {
    if (sessionPath_.empty() || closed_) return;
    bus_->withBus([&](sd_bus* connection) {
        return sd_bus_call_method(connection, remoteDesktopName, sessionPath_.c_str(),
                                  remoteDesktopSession, "Stop", nullptr, nullptr, "");
    });
    closed_ = true;
}

namespace {

// One input call with its arguments; false with the reason when it failed.
template <typename... Args>
bool notify(MutterBus& bus, const std::string& session, const char* member, std::string* error,
            const char* signature, Args... args) {
    std::string problem;
    const int r = bus.withBus([&](sd_bus* connection) {
        sd_bus_error callError = SD_BUS_ERROR_NULL;
        int result =
            sd_bus_call_method(connection, remoteDesktopName, session.c_str(), remoteDesktopSession,
                               member, &callError, nullptr, signature, args...);
        if (result < 0) problem = failure(member, result, callError);
        sd_bus_error_free(&callError);
        return result;
    });
    if (r < 0) setError(error, problem);
    return r >= 0;
}

}  // namespace

bool MutterRemoteSession::pointerMotionRelative(double dx, double dy, std::string* error) {
    return notify(*bus_, sessionPath_, "NotifyPointerMotionRelative", error, "dd", dx, dy);
}

bool MutterRemoteSession::pointerMotionAbsolute(double x, double y, std::string* error) {
    return notify(*bus_, sessionPath_, "NotifyPointerMotionAbsolute", error, "sdd",
                  streamPath_.c_str(), x, y);
}

bool MutterRemoteSession::pointerButton(std::int32_t evdevButton, bool pressed,
                                        std::string* error) {
    return notify(*bus_, sessionPath_, "NotifyPointerButton", error, "ib", evdevButton,
                  static_cast<int>(pressed));
}

bool MutterRemoteSession::pointerAxis(double dx, double dy, std::uint32_t flags,
                                      std::string* error) {
    return notify(*bus_, sessionPath_, "NotifyPointerAxis", error, "ddu", dx, dy, flags);
}

bool MutterRemoteSession::keyboardKeycode(std::uint32_t evdevKey, bool pressed,
                                          std::string* error) {
    return notify(*bus_, sessionPath_, "NotifyKeyboardKeycode", error, "ub", evdevKey,
                  static_cast<int>(pressed));
}

bool MutterRemoteSession::keyboardKeysym(std::uint32_t keysym, bool pressed, std::string* error) {
    return notify(*bus_, sessionPath_, "NotifyKeyboardKeysym", error, "ub", keysym,
                  static_cast<int>(pressed));
}

}  // namespace vl
