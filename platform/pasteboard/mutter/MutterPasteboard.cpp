#include "platform/pasteboard/mutter/MutterPasteboard.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

namespace vl {

namespace {

constexpr const char* remoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* remoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* sessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::max<std::int64_t>(0, left.count()));
}

// A copy of the descriptor in `m` that outlives the message, non-blocking; -1 on failure.
int takeDescriptor(sd_bus_message* m) {
    int fd = -1;
    if (sd_bus_message_read(m, "h", &fd) < 0 || fd < 0) return -1;
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy >= 0) fcntl(copy, F_SETFL, fcntl(copy, F_GETFL) | O_NONBLOCK);
    return copy;
}

// Everything until the writer closes; none past the deadline or the cap.
std::optional<Bytes> readAll(int fd, Clock::time_point deadline, std::size_t cap) {
    Bytes out;
    std::uint8_t chunk[65536];
    for (;;) {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, remainingMs(deadline)) <= 0) return std::nullopt;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) return out;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return std::nullopt;
        }
        if (out.size() + std::size_t(n) > cap) return std::nullopt;
        out.insert(out.end(), chunk, chunk + n);
    }
}

bool writeAll(int fd, ByteView data, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < data.size()) {
        pollfd wait{fd, POLLOUT, 0};
        if (poll(&wait, 1, remainingMs(deadline)) <= 0) return false;
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

std::string failure(const char* step, int r, const sd_bus_error& error) {
    return std::string(step) + ": " + (error.message ? error.message : std::strerror(-r));
}

}  // namespace

const std::vector<std::string>& MutterPasteboard::mimeTypes(PasteboardType type) {
    static const std::map<PasteboardType, std::vector<std::string>> names = {
        {PasteboardType::png, {"image/png"}},
        {PasteboardType::tiff, {"image/tiff"}},
        {PasteboardType::rtf, {"text/rtf", "application/rtf"}},
        {PasteboardType::html, {"text/html"}},
        {PasteboardType::string, {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain"}},
    };
    return names.at(type);
}

struct MutterPasteboard::Impl : std::enable_shared_from_this<MutterPasteboard::Impl> {
    std::shared_ptr<MutterBus> bus;
    Reporter report;
    Options options;

    // Session set-up and teardown; held across bus calls, never by a signal handler.
    std::mutex sessionMutex;
    std::string session;
    sd_bus_slot* ownerMatch = nullptr;
    sd_bus_slot* transferMatch = nullptr;
    sd_bus_slot* closedMatch = nullptr;
    bool failureReported = false;

    // What the signals touch; held only briefly and never across a bus call.
    std::mutex mutex;
    bool closed = false;
    bool owned = false;                // our session owns the selection
    std::vector<std::string> offered;  // another owner's types
    std::map<PasteboardType, Bytes> store;
    std::function<void()> handler;
    std::atomic<std::int64_t> changes{0};

    // Pastes from our selection, served in order by `server`.
    std::deque<std::pair<std::string, std::uint32_t>> transfers;
    std::condition_variable wake;
    bool stopping = false;
    std::thread server;

    void say(const std::string& text) {
        if (report) report("Pasteboard: " + text);
    }

    // A started session with its clipboard; false when Mutter refused (reported once).
    bool ensureSession() {
        std::lock_guard lock(sessionMutex);
        {
            std::lock_guard data(mutex);
            if (!session.empty() && !closed) return true;
        }
        endSession();
        std::string problem;
        const bool created = bus->withBus([&](sd_bus* connection) {
            sd_bus_error error = SD_BUS_ERROR_NULL;
            sd_bus_message* reply = nullptr;
            int r = sd_bus_call_method(connection, remoteDesktopName, remoteDesktopPath,
                                       remoteDesktopName, "CreateSession", &error, &reply, "");
            const char* path = nullptr;
            if (r >= 0) r = sd_bus_message_read(reply, "o", &path);
            if (r >= 0 && path) session = path;
            if (r < 0) problem = failure("CreateSession", r, error);
            sd_bus_error_free(&error);
            sd_bus_message_unref(reply);
            return r >= 0 && !session.empty();
        });
        if (created) listen();
        const bool started = created && bus->withBus([&](sd_bus* connection) {
            sd_bus_error error = SD_BUS_ERROR_NULL;
            int r = sd_bus_call_method(connection, remoteDesktopName, session.c_str(),
                                       sessionInterface, "Start", &error, nullptr, "");
            if (r >= 0)
                r = sd_bus_call_method(connection, remoteDesktopName, session.c_str(),
                                       sessionInterface, "EnableClipboard", &error, nullptr,
                                       "a{sv}", 0);
            if (r < 0) problem = failure("clipboard session", r, error);
            sd_bus_error_free(&error);
            return r >= 0;
        });
        if (!started) {
            if (!failureReported) say("no clipboard on this desktop (" + problem + ")");
            failureReported = true;
            return false;
        }
        failureReported = false;
        return true;
    }

    // The selection's signals of `session`; each handler runs on the bus thread.
    void listen() {
        std::weak_ptr<Impl> weak = weak_from_this();
        ownerMatch = bus->addSignalMatch(session, sessionInterface, "SelectionOwnerChanged",
                                         [weak](sd_bus_message* m) {
                                             if (auto self = weak.lock()) self->ownerChanged(m);
                                         });
        transferMatch = bus->addSignalMatch(
            session, sessionInterface, "SelectionTransfer", [weak](sd_bus_message* m) {
                const char* mime = nullptr;
                std::uint32_t serial = 0;
                auto self = weak.lock();
                if (!self || sd_bus_message_read(m, "su", &mime, &serial) < 0) return;
                std::lock_guard lock(self->mutex);
                self->transfers.emplace_back(mime ? mime : "", serial);
                self->wake.notify_all();
            });
        closedMatch =
            bus->addSignalMatch(session, sessionInterface, "Closed", [weak](sd_bus_message*) {
                if (auto self = weak.lock()) {
                    std::lock_guard lock(self->mutex);
                    self->closed = true;
                }
            });
    }

    void ownerChanged(sd_bus_message* m) {
        std::vector<std::string> types;
        bool ours = false;
        readDictionary(m, [&](const char* key, const char* type) {
            if (std::strcmp(key, "session-is-owner") == 0 && std::strcmp(type, "b") == 0) {
                int value = 0;
                sd_bus_message_read(m, "b", &value);
                ours = value != 0;
                return true;
            }
            // Mutter 43 sends the list inside a one-member structure.
            const bool wrapped = std::strcmp(type, "(as)") == 0;
            if (std::strcmp(key, "mime-types") != 0 || (!wrapped && std::strcmp(type, "as") != 0))
                return false;
            if (wrapped && sd_bus_message_enter_container(m, 'r', "as") < 0) return false;
            char** list = nullptr;
            if (sd_bus_message_read_strv(m, &list) >= 0 && list) {
                for (char** name = list; *name; ++name) {
                    types.emplace_back(*name);
                    free(*name);
                }
                free(list);
            }
            if (wrapped) sd_bus_message_exit_container(m);
            return true;
        });
        std::function<void()> notify;
        {
            std::lock_guard lock(mutex);
            // Our own offers were counted when we made them.
            if (ours) return;
            owned = false;
            store.clear();
            offered = std::move(types);
            ++changes;
            notify = handler;
        }
        if (notify) notify();
    }

    // Ends the session and its matches; the caller holds sessionMutex.
    void endSession() {
        for (sd_bus_slot** slot : {&ownerMatch, &transferMatch, &closedMatch}) {
            bus->dropMatch(*slot);
            *slot = nullptr;
        }
        bool stillOpen;
        {
            std::lock_guard lock(mutex);
            stillOpen = !session.empty() && !closed;
            closed = false;
            owned = false;
            offered.clear();
        }
        if (stillOpen)
            bus->withBus([&](sd_bus* connection) {
                return sd_bus_call_method(connection, remoteDesktopName, session.c_str(),
                                          sessionInterface, "Stop", nullptr, nullptr, "");
            });
        session.clear();
    }

    std::string sessionPath() {
        std::lock_guard lock(sessionMutex);
        return session;
    }

    // Offers the stored types as our selection.
    bool offer() {
        std::vector<std::string> types;
        {
            std::lock_guard lock(mutex);
            for (const auto& [type, bytes] : store)
                for (const auto& name : mimeTypes(type)) types.push_back(name);
        }
        const std::string path = sessionPath();
        std::string problem;
        const bool done = bus->withBus([&](sd_bus* connection) {
            sd_bus_message* call = nullptr;
            int r = sd_bus_message_new_method_call(connection, &call, remoteDesktopName,
                                                   path.c_str(), sessionInterface, "SetSelection");
            if (r >= 0) r = sd_bus_message_open_container(call, 'a', "{sv}");
            if (r >= 0) r = sd_bus_message_open_container(call, 'e', "sv");
            if (r >= 0) r = sd_bus_message_append(call, "s", "mime-types");
            if (r >= 0) r = sd_bus_message_open_container(call, 'v', "as");
            if (r >= 0) r = sd_bus_message_open_container(call, 'a', "s");
            for (const auto& name : types)
                if (r >= 0) r = sd_bus_message_append(call, "s", name.c_str());
            for (int level = 0; level < 4; ++level)
                if (r >= 0) r = sd_bus_message_close_container(call);
            sd_bus_error error = SD_BUS_ERROR_NULL;
            if (r >= 0) r = sd_bus_call(connection, call, 0, &error, nullptr);
            if (r < 0) problem = failure("SetSelection", r, error);
            sd_bus_error_free(&error);
            sd_bus_message_unref(call);
            return r >= 0;
        });
        if (!done) say(problem);
        return done;
    }

    // Opens a pipe from Mutter: the selection in `mime` (SelectionRead) or the one a paste asks
    // us to fill (SelectionWrite). `busy`, when given, is set instead of a report when Mutter
    // refused because its previous read has not finished yet.
    int pipeFor(const char* member, const char* signature, const void* argument,
                bool* busy = nullptr) {
        const std::string path = sessionPath();
        std::string problem;
        const int fd = bus->withBus([&](sd_bus* connection) {
            sd_bus_error error = SD_BUS_ERROR_NULL;
            sd_bus_message* reply = nullptr;
            int r = std::strcmp(signature, "s") == 0
                        ? sd_bus_call_method(connection, remoteDesktopName, path.c_str(),
                                             sessionInterface, member, &error, &reply, "s",
                                             static_cast<const char*>(argument))
                        : sd_bus_call_method(connection, remoteDesktopName, path.c_str(),
                                             sessionInterface, member, &error, &reply, "u",
                                             *static_cast<const std::uint32_t*>(argument));
            int taken = r >= 0 ? takeDescriptor(reply) : -1;
            if (r < 0 && busy && error.message && std::strstr(error.message, "in parallel"))
                *busy = true;
            else if (r < 0)
                problem = failure(member, r, error);
            sd_bus_error_free(&error);
            sd_bus_message_unref(reply);
            return taken;
        });
        if (fd < 0 && !problem.empty()) say(problem);
        return fd;
    }

    void serve(const std::string& mime, std::uint32_t serial) {
        std::optional<Bytes> bytes;
        {
            std::lock_guard lock(mutex);
            for (const auto& [type, stored] : store) {
                const auto& names = mimeTypes(type);
                if (std::find(names.begin(), names.end(), mime) != names.end()) bytes = stored;
            }
        }
        bool success = false;
        if (bytes) {
            const int fd = pipeFor("SelectionWrite", "u", &serial);
            if (fd >= 0) {
                success = writeAll(fd, *bytes, Clock::now() + options.timeout);
                ::close(fd);
            }
        }
        const std::string path = sessionPath();
        bus->withBus([&](sd_bus* connection) {
            return sd_bus_call_method(connection, remoteDesktopName, path.c_str(), sessionInterface,
                                      "SelectionWriteDone", nullptr, nullptr, "ub", serial,
                                      int(success));
        });
    }

    void runServer() {
        // A paste abandoned by its reader must fail the write, not end the process.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stopping || !transfers.empty(); });
            if (stopping) return;
            auto [mime, serial] = transfers.front();
            transfers.pop_front();
            lock.unlock();
            serve(mime, serial);
            lock.lock();
        }
    }
};

MutterPasteboard::MutterPasteboard(std::shared_ptr<MutterBus> bus, Reporter report, Options options)
    : impl_(std::make_shared<Impl>()) {
    impl_->bus = std::move(bus);
    impl_->report = std::move(report);
    impl_->options = options;
    impl_->server = std::thread([impl = impl_.get()] { impl->runServer(); });
}

MutterPasteboard::~MutterPasteboard() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
        impl_->wake.notify_all();
    }
    impl_->server.join();
    std::lock_guard lock(impl_->sessionMutex);
    impl_->endSession();
}

std::int64_t MutterPasteboard::changeCount() {
    impl_->ensureSession();
    return impl_->changes;
}

std::optional<Bytes> MutterPasteboard::data(PasteboardType type) {
    if (!impl_->ensureSession()) return std::nullopt;
    std::string mime;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->owned) {
            auto found = impl_->store.find(type);
            if (found == impl_->store.end()) return std::nullopt;
            return found->second;
        }
        for (const auto& name : mimeTypes(type))
            if (std::find(impl_->offered.begin(), impl_->offered.end(), name) !=
                impl_->offered.end()) {
                mime = name;
                break;
            }
    }
    if (mime.empty()) return std::nullopt;
    // Mutter serves one read at a time, and finishes the last one on its own loop a moment after
    // we have read it to the end: a read straight after another waits for that.
    const auto deadline = Clock::now() + impl_->options.timeout;
    int fd = -1;
    for (;;) {
        bool busy = false;
        fd = impl_->pipeFor("SelectionRead", "s", mime.c_str(), &busy);
        if (!busy) break;
        if (Clock::now() >= deadline) {
            impl_->say("the clipboard stayed busy with an earlier read");
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (fd < 0) return std::nullopt;
    auto bytes = readAll(fd, deadline, impl_->options.maxTransfer);
    ::close(fd);
    if (!bytes) impl_->say("the clipboard's owner gave no " + mime + " in time or sent too much");
    return bytes;
}

std::optional<std::string> MutterPasteboard::string() {
    auto bytes = data(PasteboardType::string);
    if (!bytes) return std::nullopt;
    return stringOf(*bytes);
}

std::int64_t MutterPasteboard::clearContents() {
    impl_->ensureSession();
    std::lock_guard lock(impl_->mutex);
    impl_->store.clear();
    impl_->offered.clear();
    impl_->owned = true;
    return ++impl_->changes;
}

bool MutterPasteboard::setData(ByteView data, PasteboardType type) {
    if (!impl_->ensureSession()) return false;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->owned) {
            impl_->store.clear();
            impl_->owned = true;
            ++impl_->changes;
        }
        impl_->store[type] = Bytes(data.begin(), data.end());
    }
    return impl_->offer();
}

bool MutterPasteboard::setString(std::string_view text) {
    return setData(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                   PasteboardType::string);
}

void MutterPasteboard::setChangeHandler(std::function<void()> handler) {
    if (handler) impl_->ensureSession();
    std::lock_guard lock(impl_->mutex);
    impl_->handler = std::move(handler);
}

}  // namespace vl
