#include "platform/pasteboard/x11/X11Pasteboard.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

namespace vl {

namespace {

using Steady = std::chrono::steady_clock;

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> reply(T* raw) {
    return Reply<T>(raw, &std::free);
}

// The selection target names of each representation; the first is what we prefer when reading.
const std::vector<const char*>& targetNames(PasteboardType type) {
    static const std::map<PasteboardType, std::vector<const char*>> names = {
        {PasteboardType::png, {"image/png"}},
        {PasteboardType::tiff, {"image/tiff"}},
        {PasteboardType::rtf, {"text/rtf", "application/rtf"}},
        {PasteboardType::html, {"text/html"}},
        {PasteboardType::string, {"UTF8_STRING", "text/plain;charset=utf-8", "STRING"}},
    };
    return names.at(type);
}

std::string latin1ToUtf8(const Bytes& latin1) {
    std::string out;
    for (std::uint8_t c : latin1) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

// Characters outside Latin-1 become '?', as STRING cannot hold them.
Bytes utf8ToLatin1(const Bytes& utf8) {
    Bytes out;
    for (std::size_t i = 0; i < utf8.size();) {
        const std::uint8_t c = utf8[i];
        const int length = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
        if (length == 2 && i + 1 < utf8.size()) {
            const unsigned value = ((c & 0x1fu) << 6) | (utf8[i + 1] & 0x3fu);
            out.push_back(value < 0x100 ? static_cast<std::uint8_t>(value) : '?');
        } else {
            out.push_back(length == 1 ? c : '?');
        }
        i += static_cast<std::size_t>(length);
    }
    return out;
}

}  // namespace

struct X11Pasteboard::Impl : std::enable_shared_from_this<X11Pasteboard::Impl> {
    Impl(Reporter report, Options options) : report(std::move(report)), options(options) {}

    // MARK: Connection and thread

    bool open(const std::string& display) {
        connection = xcb_connect(display.empty() ? nullptr : display.c_str(), nullptr);
        if (!connection || xcb_connection_has_error(connection)) {
            report("Pasteboard: cannot open the X display " + display + "; clipboard off");
            return false;
        }
        const xcb_query_extension_reply_t* xfixes =
            xcb_get_extension_data(connection, &xcb_xfixes_id);
        if (!xfixes || !xfixes->present) {
            report("Pasteboard: the X server has no XFixes; clipboard off");
            return false;
        }
        xfixesEvent = xfixes->first_event + XCB_XFIXES_SELECTION_NOTIFY;
        reply(xcb_xfixes_query_version_reply(connection, xcb_xfixes_query_version(connection, 5, 0),
                                             nullptr));
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        window = xcb_generate_id(connection);
        const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, -10, -10, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                          &mask);
        clipboard = atom("CLIPBOARD");
        targets = atom("TARGETS");
        timestampAtom = atom("TIMESTAMP");
        incr = atom("INCR");
        multiple = atom("MULTIPLE");
        saveTargets = atom("SAVE_TARGETS");
        clipboardManager = atom("CLIPBOARD_MANAGER");
        transferProperty = atom("VL_PASTEBOARD_TRANSFER");
        stringAtom = XCB_ATOM_STRING;
        utf8String = atom("UTF8_STRING");
        xcb_xfixes_select_selection_input(
            connection, window, clipboard,
            XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
        xcb_flush(connection);
        // Larger representations go in 64 KiB INCR chunks, well below the largest request (counted
        // in 4-byte units), so one transfer never holds up the server.
        chunkSize = std::min<std::size_t>(xcb_get_maximum_request_length(connection), 65536);
        wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        return wake >= 0 && !xcb_connection_has_error(connection);
    }

    void start() {
        running = true;
        thread = std::thread([self = shared_from_this()] { self->loop(); });
    }

    void stop() {
        if (thread.joinable()) {
            post([this] {
                handOverToClipboardManager();
                running = false;
            });
            thread.join();
        }
        if (wake >= 0) close(wake);
        if (connection) xcb_disconnect(connection);
        connection = nullptr;
    }

    xcb_atom_t atom(const std::string& name) {
        auto found = atoms.find(name);
        if (found != atoms.end()) return found->second;
        auto answer = reply(xcb_intern_atom_reply(
            connection,
            xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
            nullptr));
        const xcb_atom_t value = answer ? answer->atom : xcb_atom_t{XCB_ATOM_NONE};
        atoms[name] = value;
        return value;
    }

    // Runs the block on the connection's thread.
    void post(std::function<void()> block) {
        {
            std::lock_guard lock(mutex);
            commands.push_back(std::move(block));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wake, &one, sizeof one);
    }

    // Runs the block there and waits for its answer, never longer than the time-out and a margin
    // (the block itself keeps to the time-out).
    template <typename T>
    std::optional<T> call(std::function<T()> block) {
        if (!running) return std::nullopt;
        if (std::this_thread::get_id() == thread.get_id()) return block();
        auto task = std::make_shared<std::packaged_task<T()>>(std::move(block));
        auto answer = task->get_future();
        post([task] { (*task)(); });
        if (answer.wait_for(options.timeout + std::chrono::milliseconds(500)) !=
            std::future_status::ready) {
            report("Pasteboard: the X connection did not answer in time");
            return std::nullopt;
        }
        return answer.get();
    }

    void loop() {
        while (running) {
            runCommands();
            if (!running) break;
            while (auto* event = xcb_poll_for_event(connection)) {
                handle(event);
                std::free(event);
            }
            if (xcb_connection_has_error(connection)) {
                report("Pasteboard: the X connection was lost; clipboard off");
                running = false;
                break;
            }
            expireTransfers();
            xcb_flush(connection);
            pollfd fds[2] = {{xcb_get_file_descriptor(connection), POLLIN, 0}, {wake, POLLIN, 0}};
            ::poll(fds, 2, outgoing.empty() ? -1 : 250);
            std::uint64_t drained = 0;
            [[maybe_unused]] auto read = ::read(wake, &drained, sizeof drained);
        }
    }

    void runCommands() {
        for (;;) {
            std::function<void()> block;
            {
                std::lock_guard lock(mutex);
                if (commands.empty()) return;
                block = std::move(commands.front());
                commands.pop_front();
            }
            block();
        }
    }

    // Waits for the event the predicate accepts, handling every other event as usual meanwhile.
    // Nothing when the deadline passes or the connection fails.
    template <typename Predicate>
    Reply<xcb_generic_event_t> waitFor(Predicate accept, Steady::time_point deadline) {
        xcb_flush(connection);
        for (;;) {
            while (auto* raw = xcb_poll_for_event(connection)) {
                auto event = reply(raw);
                if (accept(event.get())) return event;
                handle(event.get());
            }
            if (xcb_connection_has_error(connection)) break;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
            if (left.count() <= 0) break;
            pollfd fd{xcb_get_file_descriptor(connection), POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(left.count()) + 1);
        }
        return reply<xcb_generic_event_t>(nullptr);
    }

    // MARK: Events

    void handle(xcb_generic_event_t* event) {
        const std::uint8_t type = event->response_type & 0x7f;
        if (type == xfixesEvent) {
            auto* notify = reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(event);
            if (notify->selection != clipboard) return;
            if (notify->owner == window) {
                ownedSince = notify->selection_timestamp;
                return;  // our own write, already counted
            }
            cachedTargets.reset();
            count.fetch_add(1);
            std::function<void()> handler;
            {
                std::lock_guard lock(mutex);
                handler = changeHandler;
            }
            if (handler) handler();
        } else if (type == XCB_SELECTION_REQUEST) {
            serve(reinterpret_cast<xcb_selection_request_event_t*>(event));
        } else if (type == XCB_SELECTION_CLEAR) {
            auto* clear = reinterpret_cast<xcb_selection_clear_event_t*>(event);
            if (clear->selection == clipboard) {
                owned = false;
                store.clear();
            }
        } else if (type == XCB_PROPERTY_NOTIFY) {
            auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
            if (notify->state == XCB_PROPERTY_DELETE)
                continueTransfer(notify->window, notify->atom);
        }
    }

    // MARK: Reading from another owner

    std::optional<Bytes> convert(xcb_atom_t selection, xcb_atom_t target, xcb_atom_t* typeOut,
                                 Steady::time_point deadline) {
        xcb_delete_property(connection, window, transferProperty);
        xcb_convert_selection(connection, window, selection, target, transferProperty,
                              XCB_CURRENT_TIME);
        auto notify = waitFor(
            [&](xcb_generic_event_t* e) {
                if ((e->response_type & 0x7f) != XCB_SELECTION_NOTIFY) return false;
                auto* n = reinterpret_cast<xcb_selection_notify_event_t*>(e);
                return n->requestor == window && n->selection == selection && n->target == target;
            },
            deadline);
        if (!notify) {
            report("Pasteboard: the clipboard owner did not answer in time");
            return std::nullopt;
        }
        auto* n = reinterpret_cast<xcb_selection_notify_event_t*>(notify.get());
        if (n->property == XCB_ATOM_NONE) return std::nullopt;
        xcb_atom_t type = XCB_ATOM_NONE;
        auto value = readProperty(&type, true);
        if (!value) return std::nullopt;
        if (type != incr) {
            if (typeOut) *typeOut = type;
            return value;
        }
        // INCR: each deletion asks for the next chunk; an empty chunk ends the transfer.
        Bytes whole;
        for (;;) {
            auto chunkReady = waitFor(
                [&](xcb_generic_event_t* e) {
                    if ((e->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
                    auto* p = reinterpret_cast<xcb_property_notify_event_t*>(e);
                    return p->window == window && p->atom == transferProperty &&
                           p->state == XCB_PROPERTY_NEW_VALUE;
                },
                deadline);
            if (!chunkReady) {
                report("Pasteboard: an incremental clipboard transfer stalled; dropped");
                xcb_delete_property(connection, window, transferProperty);
                return std::nullopt;
            }
            auto chunk = readProperty(&type, true);
            if (!chunk) return std::nullopt;
            if (chunk->empty()) break;
            if (whole.size() + chunk->size() > options.maxTransfer) {
                report("Pasteboard: an incremental clipboard transfer exceeds " +
                       std::to_string(options.maxTransfer) + " bytes; dropped");
                xcb_delete_property(connection, window, transferProperty);
                return std::nullopt;
            }
            whole.insert(whole.end(), chunk->begin(), chunk->end());
        }
        if (typeOut) *typeOut = type;
        return whole;
    }

    // The transfer property of our window, whole, then deleted when asked.
    std::optional<Bytes> readProperty(xcb_atom_t* type, bool remove) {
        Bytes out;
        std::uint32_t offset = 0;  // in 32-bit units
        for (;;) {
            auto answer = reply(xcb_get_property_reply(
                connection,
                xcb_get_property(connection, 0, window, transferProperty, XCB_GET_PROPERTY_TYPE_ANY,
                                 offset, 1u << 20),
                nullptr));
            if (!answer) return std::nullopt;
            *type = answer->type;
            const int length = xcb_get_property_value_length(answer.get());
            const auto* value =
                static_cast<const std::uint8_t*>(xcb_get_property_value(answer.get()));
            out.insert(out.end(), value, value + length);
            if (out.size() > options.maxTransfer) return std::nullopt;
            if (answer->bytes_after == 0) break;
            offset += static_cast<std::uint32_t>(length / 4);
        }
        if (remove) xcb_delete_property(connection, window, transferProperty);
        xcb_flush(connection);
        return out;
    }

    std::vector<xcb_atom_t> ownerTargets(Steady::time_point deadline) {
        if (cachedTargets && cachedCount == count.load()) return *cachedTargets;
        std::vector<xcb_atom_t> list;
        xcb_atom_t type = XCB_ATOM_NONE;
        if (auto bytes = convert(clipboard, targets, &type, deadline);
            bytes && type == XCB_ATOM_ATOM) {
            list.resize(bytes->size() / sizeof(xcb_atom_t));
            std::memcpy(list.data(), bytes->data(), list.size() * sizeof(xcb_atom_t));
        }
        cachedTargets = list;
        cachedCount = count.load();
        return list;
    }

    bool selectionHasOwner() {
        auto owner = reply(xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, clipboard), nullptr));
        return owner && owner->owner != XCB_WINDOW_NONE;
    }

    // The representation and the target it came from.
    std::optional<std::pair<Bytes, xcb_atom_t>> read(PasteboardType type) {
        if (owned) {
            auto found = store.find(type);
            if (found == store.end()) return std::nullopt;
            return std::pair(found->second, atom(targetNames(type).front()));
        }
        if (!selectionHasOwner()) return std::nullopt;
        const auto deadline = Steady::now() + options.timeout;
        const auto offered = ownerTargets(deadline);
        for (const char* name : targetNames(type)) {
            const xcb_atom_t target = atom(name);
            if (std::find(offered.begin(), offered.end(), target) == offered.end()) continue;
            if (auto bytes = convert(clipboard, target, nullptr, deadline))
                return std::pair(std::move(*bytes), target);
        }
        return std::nullopt;
    }

    // MARK: Owning and serving

    bool own() {
        xcb_set_selection_owner(connection, window, clipboard, XCB_CURRENT_TIME);
        auto owner = reply(xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, clipboard), nullptr));
        owned = owner && owner->owner == window;
        if (!owned) report("Pasteboard: could not become the clipboard owner");
        return owned;
    }

    // The targets we offer and the stored representation behind each.
    std::vector<std::pair<xcb_atom_t, PasteboardType>> offered() {
        std::vector<std::pair<xcb_atom_t, PasteboardType>> list;
        for (const auto& [type, bytes] : store) {
            for (const char* name : targetNames(type)) list.emplace_back(atom(name), type);
            if (type == PasteboardType::string) {
                list.emplace_back(atom("text/plain"), type);
                list.emplace_back(atom("TEXT"), type);
            }
        }
        return list;
    }

    void serve(xcb_selection_request_event_t* request) {
        xcb_atom_t property =
            request->property == XCB_ATOM_NONE ? request->target : request->property;
        bool answered = false;
        if (owned && request->selection == clipboard) answered = answer(request, property);
        xcb_selection_notify_event_t notify{};
        notify.response_type = XCB_SELECTION_NOTIFY;
        notify.time = request->time;
        notify.requestor = request->requestor;
        notify.selection = request->selection;
        notify.target = request->target;
        notify.property = answered ? property : xcb_atom_t{XCB_ATOM_NONE};
        xcb_send_event(connection, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&notify));
        xcb_flush(connection);
    }

    bool answer(xcb_selection_request_event_t* request, xcb_atom_t property) {
        const auto list = offered();
        if (request->target == targets) {
            std::vector<xcb_atom_t> atomsOffered = {targets, timestampAtom, saveTargets};
            for (const auto& [target, type] : list) atomsOffered.push_back(target);
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor, property,
                                XCB_ATOM_ATOM, 32, static_cast<std::uint32_t>(atomsOffered.size()),
                                atomsOffered.data());
            return true;
        }
        if (request->target == timestampAtom) {
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor, property,
                                XCB_ATOM_INTEGER, 32, 1, &ownedSince);
            return true;
        }
        auto match = std::find_if(list.begin(), list.end(), [&](const auto& entry) {
            return entry.first == request->target;
        });
        if (match == list.end()) return false;
        auto bytes = std::make_shared<Bytes>(store[match->second]);
        xcb_atom_t type = request->target;
        if (request->target == stringAtom) *bytes = utf8ToLatin1(*bytes);
        if (request->target == atom("TEXT")) type = utf8String;
        if (bytes->size() <= chunkSize) {
            xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor, property,
                                type, 8, static_cast<std::uint32_t>(bytes->size()), bytes->data());
            return true;
        }
        // Too large for one request: announce INCR and send chunks as the requestor deletes them.
        const std::uint32_t size = static_cast<std::uint32_t>(bytes->size());
        const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(connection, request->requestor, XCB_CW_EVENT_MASK, &mask);
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor, property, incr,
                            32, 1, &size);
        outgoing.push_back(Outgoing{request->requestor, property, type, bytes, 0,
                                    Steady::now() + options.timeout});
        return true;
    }

    struct Outgoing {
        xcb_window_t requestor;
        xcb_atom_t property;
        xcb_atom_t type;
        std::shared_ptr<Bytes> data;
        std::size_t offset;  // past the end once the closing empty chunk was sent
        Steady::time_point deadline;
    };

    void continueTransfer(xcb_window_t requestor, xcb_atom_t property) {
        auto transfer = std::find_if(outgoing.begin(), outgoing.end(), [&](const Outgoing& o) {
            return o.requestor == requestor && o.property == property;
        });
        if (transfer == outgoing.end()) return;
        const std::size_t size = transfer->data->size();
        if (transfer->offset > size) {
            outgoing.erase(transfer);  // the closing empty chunk was read
            return;
        }
        const std::size_t length = std::min(chunkSize, size - transfer->offset);
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, requestor, property, transfer->type,
                            8, static_cast<std::uint32_t>(length),
                            transfer->data->data() + transfer->offset);
        transfer->offset = length == 0 ? size + 1 : transfer->offset + length;
        transfer->deadline = Steady::now() + options.timeout;
        xcb_flush(connection);
    }

    // Requestors that stopped reading are forgotten.
    void expireTransfers() {
        const auto now = Steady::now();
        std::erase_if(outgoing, [&](const Outgoing& o) { return o.deadline < now; });
    }

    // On exit, a running clipboard manager takes a copy so a paste still works after we are gone.
    void handOverToClipboardManager() {
        if (!owned || store.empty()) return;
        auto manager = reply(xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, clipboardManager), nullptr));
        if (!manager || manager->owner == XCB_WINDOW_NONE) return;
        convert(clipboardManager, saveTargets, nullptr, Steady::now() + options.timeout);
    }

    // MARK: State

    Reporter report;
    Options options;
    xcb_connection_t* connection = nullptr;
    xcb_window_t window = XCB_WINDOW_NONE;
    std::uint8_t xfixesEvent = 0;
    xcb_atom_t clipboard = 0, targets = 0, timestampAtom = 0, incr = 0, multiple = 0,
               saveTargets = 0, clipboardManager = 0, transferProperty = 0, stringAtom = 0,
               utf8String = 0;
    std::size_t chunkSize = 65536;
    int wake = -1;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<std::int64_t> count{0};

    std::mutex mutex;  // guards commands and changeHandler
    std::deque<std::function<void()>> commands;
    std::function<void()> changeHandler;

    // The connection's thread only.
    std::map<std::string, xcb_atom_t> atoms;
    bool owned = false;
    std::uint32_t ownedSince = XCB_CURRENT_TIME;
    std::map<PasteboardType, Bytes> store;
    std::vector<Outgoing> outgoing;
    std::optional<std::vector<xcb_atom_t>> cachedTargets;
    std::int64_t cachedCount = -1;
};

X11Pasteboard::X11Pasteboard(std::string display, Reporter report)
    : X11Pasteboard(std::move(display), std::move(report), Options{}) {}

X11Pasteboard::X11Pasteboard(std::string display, Reporter report, Options options)
    : impl_(std::make_shared<Impl>(std::move(report), options)) {
    if (impl_->open(display)) impl_->start();
}

X11Pasteboard::~X11Pasteboard() {
    impl_->stop();
}

bool X11Pasteboard::connected() const {
    return impl_->running;
}

std::int64_t X11Pasteboard::changeCount() {
    return impl_->count.load();
}

std::optional<Bytes> X11Pasteboard::data(PasteboardType type) {
    auto impl = impl_;
    auto result = impl->call<std::optional<Bytes>>([impl, type]() -> std::optional<Bytes> {
        auto found = impl->read(type);
        if (!found) return std::nullopt;
        return std::move(found->first);
    });
    return result ? std::move(*result) : std::nullopt;
}

std::optional<std::string> X11Pasteboard::string() {
    auto impl = impl_;
    auto result = impl->call<std::optional<std::string>>([impl]() -> std::optional<std::string> {
        auto found = impl->read(PasteboardType::string);
        if (!found) return std::nullopt;
        if (found->second == impl->stringAtom) return latin1ToUtf8(found->first);
        return stringOf(found->first);
    });
    return result ? std::move(*result) : std::nullopt;
}

std::int64_t X11Pasteboard::clearContents() {
    auto impl = impl_;
    impl->call<bool>([impl] {
        impl->store.clear();
        impl->cachedTargets.reset();
        impl->count.fetch_add(1);
        return impl->own();
    });
    return impl->count.load();
}

bool X11Pasteboard::setData(ByteView data, PasteboardType type) {
    auto impl = impl_;
    Bytes copy(data.begin(), data.end());
    return impl
        ->call<bool>([impl, type, copy = std::move(copy)]() mutable {
            impl->store[type] = std::move(copy);
            // Owning again tells every watcher that the content changed; one that read the
            // emptied clipboard right after the clear reads again.
            return impl->own();
        })
        .value_or(false);
}

bool X11Pasteboard::setString(std::string_view text) {
    return setData(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                   PasteboardType::string);
}

void X11Pasteboard::setChangeHandler(std::function<void()> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->changeHandler = std::move(handler);
}

}  // namespace vl
