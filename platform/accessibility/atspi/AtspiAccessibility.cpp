#include "platform/accessibility/atspi/AtspiAccessibility.h"

#include "platform/accessibility/atspi/SyntheticParts.h"

#include <atspi/atspi.h>
#include <dbus/dbus.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace vl {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t mostElementsKept = 4096;
constexpr int deepestDescent = 32;
constexpr int mostChildren = 512;
constexpr int mostWindowsPerApplication = 64;
// A top-level window found for a point serves the points sampled around it for this long.
constexpr auto topLevelReuse = std::chrono::milliseconds(250);
// Gestures ask about many points close together at once (a divider search samples 26): what was
// found serves the points that follow for this long.
constexpr auto burst = std::chrono::milliseconds(150);
// Signals queue up on the connection between queries; they are handled at least this often.
constexpr auto drainInterval = std::chrono::milliseconds(500);

// The accessibility library keeps one connection and one cache for the whole process: every
// call into it goes through this lock. Never destroyed, as instances may outlive statics.
std::mutex& libraryLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

enum class LibraryState { untried, ready, unavailable };
LibraryState library = LibraryState::untried;
GMainContext* libraryContext = nullptr;

// Part of an element: the element itself or a piece the toolkit draws without publishing it.
enum class Kind { element, thumb, divider, headerRow };

struct Unref {
    void operator()(gpointer object) const {
        if (object) g_object_unref(object);
    }
};
template <typename T>
using Owned = std::unique_ptr<T, Unref>;

Owned<AtspiAccessible> adopt(AtspiAccessible* object) {
    return Owned<AtspiAccessible>(object);
}
Owned<AtspiAccessible> share(AtspiAccessible* object) {
    return Owned<AtspiAccessible>(object ? ATSPI_ACCESSIBLE(g_object_ref(object)) : nullptr);
}

std::optional<ElementRole> mapRole(AtspiRole role, bool multiLine) {
    switch (role) {
        case ATSPI_ROLE_INVALID:
            return std::nullopt;
        case ATSPI_ROLE_SCROLL_BAR:
            return ElementRole::scrollBar;
        case ATSPI_ROLE_SPLIT_PANE:
            return ElementRole::splitGroup;
        case ATSPI_ROLE_TABLE:
            return ElementRole::table;
        case ATSPI_ROLE_TREE_TABLE:
        case ATSPI_ROLE_TREE:
            return ElementRole::outline;
        case ATSPI_ROLE_TEXT:
            return multiLine ? ElementRole::textArea : ElementRole::textField;
        case ATSPI_ROLE_ENTRY:
        case ATSPI_ROLE_PASSWORD_TEXT:
            return ElementRole::textField;
        case ATSPI_ROLE_DOCUMENT_TEXT:
            return ElementRole::textArea;
        case ATSPI_ROLE_LABEL:
        case ATSPI_ROLE_STATIC:
        case ATSPI_ROLE_CAPTION:
            return ElementRole::staticText;
        case ATSPI_ROLE_TERMINAL:
            return ElementRole::opaqueProviderGroup;
        default:
            return ElementRole::other;
    }
}

// Roles a split view's handle is published with by toolkits that publish it at all (unnamed).
bool mayBeHandle(AtspiRole role) {
    return role == ATSPI_ROLE_SEPARATOR || role == ATSPI_ROLE_UNKNOWN ||
           role == ATSPI_ROLE_FILLER || role == ATSPI_ROLE_PANEL ||
           role == ATSPI_ROLE_REDUNDANT_OBJECT;
}

}  // namespace

struct AtspiAccessibility::State {
    Options options;
    Clock::time_point quietUntil{};
    bool reportedQuiet = false;

    struct Node {
        Owned<AtspiAccessible> object;
        Kind kind = Kind::element;
    };
    std::unordered_map<ElementRef, Node> nodes;
    std::map<std::pair<AtspiAccessible*, Kind>, ElementRef> refs;
    ElementRef next = 1;
    std::unordered_map<AtspiAccessible*, std::pair<Owned<AtspiAccessible>, int>> pids;

    struct TopLevel {
        std::optional<TopWindow> window;
        DisplayRect frame;
        Owned<AtspiAccessible> object;
        Clock::time_point found;
    };
    std::optional<TopLevel> topLevel;

    // Elements without children and computed parts found lately, with their frames.
    struct Found {
        Owned<AtspiAccessible> object;
        Kind kind = Kind::element;
        DisplayRect frame;
        Clock::time_point at;
    };
    std::vector<Found> found;
    // Frames of computed parts lately, by the control they belong to.
    struct Part {
        Owned<AtspiAccessible> object;
        std::optional<DisplayRect> frame;
        Clock::time_point at;
    };
    std::map<std::pair<AtspiAccessible*, Kind>, Part> parts;
    // An element's role does not change.
    std::unordered_map<AtspiAccessible*, std::pair<Owned<AtspiAccessible>, AtspiRole>> roles;

    std::thread drainer;
    std::condition_variable wake;
    bool stopping = false;  // under the library lock

    void report(const std::string& text) {
        if (options.report) options.report(text);
    }

    // Whether a call took so long that the bus counts as not answering; it is then left alone
    // for a while. Some calls answer a timeout with an empty result and no error.
    bool slow(Clock::time_point started) {
        const auto took = Clock::now() - started;
        if (took < options.timeout * 8 / 10) return false;
        quietUntil = Clock::now() + options.backOff;
        if (!reportedQuiet)
            report("The accessibility bus did not answer within " +
                   std::to_string(options.timeout.count()) +
                   " ms: elements are not looked up for a while");
        reportedQuiet = true;
        return true;
    }
    // Whether a call answered in time.
    bool answered(GError* error, Clock::time_point started) {
        const bool late = slow(started);
        if (error) g_error_free(error);
        return !error && !late;
    }
    // One of the element's interfaces, looked up in time.
    template <typename Interface>
    Owned<Interface> lookUp(Interface* (*get)(AtspiAccessible*), AtspiAccessible* object) {
        const auto started = Clock::now();
        Owned<Interface> found(get(object));
        return slow(started) ? nullptr : std::move(found);
    }
    bool quiet() const { return Clock::now() < quietUntil; }

    void drain() {
        for (int i = 0; i < 256 && g_main_context_iteration(libraryContext, FALSE); ++i) {
        }
    }

    void forgetAll() {
        found.clear();
        parts.clear();
        roles.clear();
        nodes.clear();
        refs.clear();
        pids.clear();
        topLevel.reset();
    }

    ElementRef intern(Owned<AtspiAccessible> object, Kind kind) {
        const auto key = std::pair{object.get(), kind};
        if (auto found = refs.find(key); found != refs.end()) return found->second;
        const ElementRef ref = next++;
        refs[key] = ref;
        nodes[ref] = Node{std::move(object), kind};
        return ref;
    }
    const Node* node(ElementRef ref) const {
        auto found = nodes.find(ref);
        return found == nodes.end() ? nullptr : &found->second;
    }
    // The query on the element's node under the library lock; empty for an unknown element or
    // while the bus is left alone.
    template <typename Result, typename Query>
    Result onNode(ElementRef ref, Query query) {
        std::lock_guard lock(libraryLock());
        const Node* found = node(ref);
        if (!found || quiet()) return Result{};
        return query(*found);
    }

    // MARK: - Single calls

    AtspiRole roleOf(AtspiAccessible* object) {
        if (auto known = roles.find(object); known != roles.end()) return known->second.second;
        GError* error = nullptr;
        const auto started = Clock::now();
        const AtspiRole role = atspi_accessible_get_role(object, &error);
        if (!answered(error, started)) return ATSPI_ROLE_INVALID;
        roles.emplace(object, std::pair{share(object), role});
        return role;
    }

    bool hasState(AtspiAccessible* object, AtspiStateType state) {
        auto states = lookUp(atspi_accessible_get_state_set, object);
        return states && atspi_state_set_contains(states.get(), state);
    }

    std::optional<DisplayRect> extents(AtspiAccessible* object) {
        auto component = lookUp(atspi_accessible_get_component_iface, object);
        if (!component) return std::nullopt;
        GError* error = nullptr;
        const auto started = Clock::now();
        AtspiRect* rect =
            atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, &error);
        if (!answered(error, started) || !rect) {
            g_free(rect);
            return std::nullopt;
        }
        // Hidden widgets report the smallest integer as their position.
        const bool hidden = rect->x == G_MININT || rect->y == G_MININT;
        const DisplayRect frame{static_cast<double>(rect->x), static_cast<double>(rect->y),
                                static_cast<double>(rect->width),
                                static_cast<double>(rect->height)};
        g_free(rect);
        if (hidden) return std::nullopt;
        return frame;
    }

    Owned<AtspiAccessible> parentOf(AtspiAccessible* object) {
        GError* error = nullptr;
        const auto started = Clock::now();
        Owned<AtspiAccessible> parent = adopt(atspi_accessible_get_parent(object, &error));
        if (!answered(error, started)) return nullptr;
        return parent;
    }

    int childCount(AtspiAccessible* object) {
        GError* error = nullptr;
        const auto started = Clock::now();
        const int count = atspi_accessible_get_child_count(object, &error);
        return answered(error, started) ? std::clamp(count, 0, mostChildren) : 0;
    }

    Owned<AtspiAccessible> child(AtspiAccessible* object, int index) {
        GError* error = nullptr;
        const auto started = Clock::now();
        Owned<AtspiAccessible> found =
            adopt(atspi_accessible_get_child_at_index(object, index, &error));
        if (!answered(error, started)) return nullptr;
        return found;
    }

    std::string nameOf(AtspiAccessible* object) {
        GError* error = nullptr;
        const auto started = Clock::now();
        gchar* name = atspi_accessible_get_name(object, &error);
        std::string text = name ? name : "";
        g_free(name);
        return answered(error, started) ? text : std::string{};
    }

    std::optional<int> pidOf(AtspiAccessible* application) {
        if (auto found = pids.find(application); found != pids.end()) return found->second.second;
        GError* error = nullptr;
        const auto started = Clock::now();
        const guint pid = atspi_accessible_get_process_id(application, &error);
        if (!answered(error, started)) return std::nullopt;
        pids.emplace(application, std::pair{share(application), static_cast<int>(pid)});
        return static_cast<int>(pid);
    }

    Owned<AtspiAccessible> childAt(AtspiAccessible* object, DisplayPoint point) {
        auto component = lookUp(atspi_accessible_get_component_iface, object);
        if (!component) return nullptr;
        GError* error = nullptr;
        const auto started = Clock::now();
        Owned<AtspiAccessible> found = adopt(atspi_component_get_accessible_at_point(
            component.get(), static_cast<gint>(std::floor(point.x)),
            static_cast<gint>(std::floor(point.y)), ATSPI_COORD_TYPE_SCREEN, &error));
        if (!answered(error, started)) return nullptr;
        return found;
    }

    std::optional<atspi::ValueRange> valueOf(AtspiAccessible* object) {
        auto value = lookUp(atspi_accessible_get_value_iface, object);
        if (!value) return std::nullopt;
        atspi::ValueRange range;
        GError* error = nullptr;
        auto started = Clock::now();
        range.minimum = atspi_value_get_minimum_value(value.get(), &error);
        if (!answered(error, started)) return std::nullopt;
        started = Clock::now();
        range.maximum = atspi_value_get_maximum_value(value.get(), &error);
        if (!answered(error, started)) return std::nullopt;
        started = Clock::now();
        range.current = atspi_value_get_current_value(value.get(), &error);
        if (!answered(error, started)) return std::nullopt;
        return range;
    }

    std::vector<Owned<AtspiAccessible>> columnHeaders(AtspiAccessible* object) {
        std::vector<Owned<AtspiAccessible>> headers;
        auto table = lookUp(atspi_accessible_get_table_iface, object);
        if (!table) return headers;
        GError* error = nullptr;
        auto started = Clock::now();
        const int columns = atspi_table_get_n_columns(table.get(), &error);
        if (!answered(error, started)) return headers;
        for (int column = 0; column < std::min(columns, mostChildren) && !quiet(); ++column) {
            started = Clock::now();
            auto header = adopt(atspi_table_get_column_header(table.get(), column, &error));
            if (!answered(error, started)) break;
            if (header) headers.push_back(std::move(header));
        }
        return headers;
    }

    // MARK: - Parts

    std::optional<ElementOrientation> orientationOf(AtspiAccessible* object) {
        if (hasState(object, ATSPI_STATE_VERTICAL)) return ElementOrientation::vertical;
        if (hasState(object, ATSPI_STATE_HORIZONTAL)) return ElementOrientation::horizontal;
        return std::nullopt;
    }

    // A computed part's frame, computed again only after a burst.
    template <typename Compute>
    std::optional<DisplayRect> partFrame(AtspiAccessible* control, Kind kind, Compute compute) {
        const auto now = Clock::now();
        const auto key = std::pair{control, kind};
        if (auto known = parts.find(key); known != parts.end() && now - known->second.at < burst)
            return known->second.frame;
        auto frame = compute();
        parts[key] = Part{share(control), frame, now};
        return frame;
    }
    std::optional<DisplayRect> thumbOf(AtspiAccessible* bar) {
        return partFrame(bar, Kind::thumb, [&] { return computeThumb(bar); });
    }
    std::optional<DisplayRect> dividerOf(AtspiAccessible* group) {
        return partFrame(group, Kind::divider, [&] { return computeDivider(group); });
    }

    std::optional<DisplayRect> computeThumb(AtspiAccessible* bar) {
        const auto frame = extents(bar);
        if (!frame) return std::nullopt;
        const auto value = valueOf(bar);
        if (!value) return std::nullopt;
        const ElementOrientation orientation = orientationOf(bar).value_or(
            frame->width <= frame->height ? ElementOrientation::vertical
                                          : ElementOrientation::horizontal);
        return atspi::scrollThumbFrame(*frame, orientation, *value);
    }

    // Whether the split view's panes sit side by side (its divider is vertical).
    bool sideBySide(AtspiAccessible* group, const std::optional<DisplayRect>& first,
                    const std::optional<DisplayRect>& second) {
        if (auto orientation = orientationOf(group))
            return *orientation == ElementOrientation::horizontal;
        if (first && second)
            return std::abs(second->minX() - first->minX()) >=
                   std::abs(second->minY() - first->minY());
        return true;
    }

    std::optional<DisplayRect> computeDivider(AtspiAccessible* group) {
        const auto frame = extents(group);
        if (!frame) return std::nullopt;
        std::vector<DisplayRect> panes;
        const int count = std::min(childCount(group), 8);
        for (int i = 0; i < count && panes.size() < 2; ++i) {
            auto pane = child(group, i);
            if (!pane || isHandle(pane.get(), group)) continue;
            if (auto paneFrame = extents(pane.get()); paneFrame && paneFrame->width > 0)
                panes.push_back(*paneFrame);
        }
        std::optional<DisplayRect> first, second;
        if (panes.size() == 2) {
            first = panes[0];
            second = panes[1];
        }
        std::optional<double> position;
        if (auto value = valueOf(group)) position = value->current;
        return atspi::dividerFrame(*frame, sideBySide(group, first, second), first, second,
                                   position);
    }

    // An unnamed leaf of a split view: the handle of toolkits that publish it.
    bool isHandle(AtspiAccessible* object, AtspiAccessible* group) {
        return mayBeHandle(roleOf(object)) && nameOf(object).empty() && childCount(object) == 0 &&
               (!group || roleOf(group) == ATSPI_ROLE_SPLIT_PANE);
    }

    // MARK: - Hit test

    // The top-level window of the application owning the frontmost window at the point.
    Owned<AtspiAccessible> topLevelAt(DisplayPoint point) {
        const auto now = Clock::now();
        if (topLevel && now - topLevel->found < topLevelReuse && topLevel->frame.contains(point))
            return share(topLevel->object.get());
        topLevel.reset();
        std::optional<TopWindow> window;
        if (options.windowAt) {
            window = options.windowAt(point);
            if (!window) return nullptr;
        }

        Owned<AtspiAccessible> desktop = adopt(atspi_get_desktop(0));
        if (!desktop) return nullptr;
        Owned<AtspiAccessible> best;
        DisplayRect bestFrame;
        double bestDistance = 0;
        const int applications = childCount(desktop.get());
        for (int i = 0; i < applications && !quiet(); ++i) {
            auto application = child(desktop.get(), i);
            if (!application) continue;
            if (window && pidOf(application.get()) != window->pid) continue;
            const int windows = std::min(childCount(application.get()), mostWindowsPerApplication);
            for (int j = 0; j < windows && !quiet(); ++j) {
                auto candidate = child(application.get(), j);
                if (!candidate) continue;
                const auto frame = extents(candidate.get());
                if (!frame || !frame->contains(point)) continue;
                // Of one application's windows at the point, the one placed like the window
                // list's.
                double distance = 0;
                if (window)
                    distance = std::abs(frame->minX() + frame->width / 2 -
                                        (window->frame.minX() + window->frame.width / 2)) +
                               std::abs(frame->minY() + frame->height / 2 -
                                        (window->frame.minY() + window->frame.height / 2));
                if (!best || distance < bestDistance) {
                    best = std::move(candidate);
                    bestFrame = *frame;
                    bestDistance = distance;
                }
            }
            if (best && !window) break;
        }
        if (!best) return nullptr;
        topLevel = TopLevel{window, window ? window->frame : bestFrame, share(best.get()), now};
        return best;
    }

    std::optional<ElementRef> elementAt(DisplayPoint point) {
        if (quiet()) return std::nullopt;
        if (nodes.size() > mostElementsKept) forgetAll();
        const auto now = Clock::now();
        std::erase_if(found, [&](const Found& f) { return now - f.at >= burst; });
        // Parts first: a divider's frame reaches over its panes' edges.
        for (Kind kind : {Kind::divider, Kind::thumb, Kind::element})
            for (auto f = found.rbegin(); f != found.rend(); ++f)
                if (f->kind == kind && f->frame.contains(point))
                    return intern(share(f->object.get()), kind);

        Owned<AtspiAccessible> current = topLevelAt(point);
        if (!current) return std::nullopt;
        for (int depth = 0; depth < deepestDescent && !quiet(); ++depth) {
            const AtspiRole role = roleOf(current.get());
            if (role == ATSPI_ROLE_SPLIT_PANE) {
                if (auto divider = dividerOf(current.get()); divider && divider->contains(point))
                    return remember(std::move(current), Kind::divider, *divider);
            } else if (role == ATSPI_ROLE_SCROLL_BAR) {
                if (auto thumb = thumbOf(current.get()); thumb && thumb->contains(point))
                    return remember(std::move(current), Kind::thumb, *thumb);
                break;
            }
            // AT-SPI's hit test answers direct children only.
            auto next = childAt(current.get(), point);
            if (!next || next.get() == current.get()) break;
            current = std::move(next);
        }
        if (quiet()) return std::nullopt;
        // Only an element without children answers for every point of its frame; a scroll bar
        // or split view does not, its parts being elsewhere.
        const AtspiRole role = roleOf(current.get());
        if (role != ATSPI_ROLE_SCROLL_BAR && role != ATSPI_ROLE_SPLIT_PANE &&
            childCount(current.get()) == 0)
            if (auto frame = extents(current.get()); frame && frame->contains(point))
                return remember(std::move(current), Kind::element, *frame);
        return intern(std::move(current), Kind::element);
    }

    ElementRef remember(Owned<AtspiAccessible> object, Kind kind, const DisplayRect& frame) {
        found.push_back(Found{share(object.get()), kind, frame, Clock::now()});
        return intern(std::move(object), kind);
    }

    std::optional<ElementRole> roleOf(const Node& node) {
        switch (node.kind) {
            case Kind::thumb:
                return ElementRole::valueIndicator;
            case Kind::divider:
                return ElementRole::splitter;
            case Kind::headerRow:
                return ElementRole::other;
            case Kind::element:
                break;
        }
        const AtspiRole role = roleOf(node.object.get());
        if (mayBeHandle(role)) {
            auto parent = parentOf(node.object.get());
            if (parent && isHandle(node.object.get(), parent.get())) return ElementRole::splitter;
        }
        const bool multiLine =
            role == ATSPI_ROLE_TEXT && hasState(node.object.get(), ATSPI_STATE_MULTI_LINE);
        return mapRole(role, multiLine);
    }

    std::optional<DisplayRect> frameOf(const Node& node) {
        switch (node.kind) {
            case Kind::thumb:
                return thumbOf(node.object.get());
            case Kind::divider:
                return dividerOf(node.object.get());
            case Kind::headerRow: {
                std::optional<DisplayRect> all;
                for (auto& header : columnHeaders(node.object.get())) {
                    auto frame = extents(header.get());
                    if (!frame) continue;
                    if (!all) {
                        all = frame;
                        continue;
                    }
                    const double minX = std::min(all->minX(), frame->minX());
                    const double minY = std::min(all->minY(), frame->minY());
                    const double maxX = std::max(all->maxX(), frame->maxX());
                    const double maxY = std::max(all->maxY(), frame->maxY());
                    all = DisplayRect{minX, minY, maxX - minX, maxY - minY};
                }
                return all;
            }
            case Kind::element:
                break;
        }
        return extents(node.object.get());
    }
};

std::function<std::optional<AtspiAccessibility::TopWindow>(DisplayPoint)>
AtspiAccessibility::frontmostWindowIn(std::shared_ptr<WindowService> windows) {
    return [windows = std::move(windows)](DisplayPoint point) -> std::optional<TopWindow> {
        for (const WindowRecord& window : windows->windowList())
            if (window.layer() == 0 && window.frame.contains(point))
                return TopWindow{window.pid, window.frame};
        return std::nullopt;
    };
}

std::shared_ptr<AtspiAccessibility> AtspiAccessibility::open(Options options) {
    auto report = [&](const std::string& text) {
        if (options.report) options.report(text);
    };
    std::lock_guard lock(libraryLock());
    if (library == LibraryState::untried) {
        // Without a bus address the library would start a session bus of its own (X11
        // autolaunch) or abort on its first call.
        if (!std::getenv("AT_SPI_BUS_ADDRESS") && !std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
            report("No D-Bus session bus: elements of other applications are not looked up");
            return nullptr;
        }
        library = LibraryState::unavailable;
        const int timeout = static_cast<int>(std::max<std::int64_t>(1, options.timeout.count()));
        atspi_set_timeout(timeout, timeout);
        atspi_init();
        DBusConnection* bus = atspi_get_a11y_bus();
        if (!bus) {
            report("No accessibility bus: elements of other applications are not looked up");
            return nullptr;
        }
        // A bus that goes away must not take the server with it.
        dbus_connection_set_exit_on_disconnect(bus, FALSE);
        libraryContext = g_main_context_new();
        atspi_set_main_context(libraryContext);
        library = LibraryState::ready;
    }
    if (library != LibraryState::ready) {
        report("No accessibility bus: elements of other applications are not looked up");
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->options = std::move(options);
    return std::shared_ptr<AtspiAccessibility>(new AtspiAccessibility(std::move(state)));
}

AtspiAccessibility::AtspiAccessibility(std::unique_ptr<State> state) : state_(std::move(state)) {
    state_->drainer = std::thread([state = state_.get()] {
        std::unique_lock lock(libraryLock());
        while (!state->stopping) {
            state->drain();
            state->wake.wait_for(lock, drainInterval);
        }
    });
}

AtspiAccessibility::~AtspiAccessibility() {
    {
        std::lock_guard lock(libraryLock());
        state_->stopping = true;
    }
    state_->wake.notify_all();
    state_->drainer.join();
    std::lock_guard lock(libraryLock());
    state_->forgetAll();
    state_->drain();
}

std::optional<ElementRef> AtspiAccessibility::elementAt(DisplayPoint point) {
    std::lock_guard lock(libraryLock());
    auto found = state_->elementAt(point);
    state_->drain();
    return found;
}

std::optional<ElementRole> AtspiAccessibility::role(ElementRef element) {
    return state_->onNode<std::optional<ElementRole>>(
        element, [&](const State::Node& node) { return state_->roleOf(node); });
}

std::optional<ElementRef> AtspiAccessibility::parent(ElementRef element) {
    return state_->onNode<std::optional<ElementRef>>(
        element, [&](const State::Node& node) -> std::optional<ElementRef> {
            // A part's parent is the control it was computed from.
            if (node.kind != Kind::element)
                return state_->intern(share(node.object.get()), Kind::element);
            auto parent = state_->parentOf(node.object.get());
            if (!parent) return std::nullopt;
            return state_->intern(std::move(parent), Kind::element);
        });
}

std::optional<DisplayRect> AtspiAccessibility::frame(ElementRef element) {
    return state_->onNode<std::optional<DisplayRect>>(
        element, [&](const State::Node& node) { return state_->frameOf(node); });
}

std::optional<ElementOrientation> AtspiAccessibility::orientation(ElementRef element) {
    return state_->onNode<std::optional<ElementOrientation>>(
        element, [&](const State::Node& node) -> std::optional<ElementOrientation> {
            if (node.kind != Kind::divider) return state_->orientationOf(node.object.get());
            // Panes side by side are parted by a vertical divider.
            const bool across = state_->sideBySide(node.object.get(), std::nullopt, std::nullopt);
            return across ? ElementOrientation::vertical : ElementOrientation::horizontal;
        });
}

std::optional<ElementRef> AtspiAccessibility::header(ElementRef element) {
    return state_->onNode<std::optional<ElementRef>>(
        element, [&](const State::Node& node) -> std::optional<ElementRef> {
            if (node.kind != Kind::element || state_->columnHeaders(node.object.get()).empty())
                return std::nullopt;
            return state_->intern(share(node.object.get()), Kind::headerRow);
        });
}

std::vector<ElementRef> AtspiAccessibility::children(ElementRef element) {
    return state_->onNode<std::vector<ElementRef>>(element, [&](const State::Node& node) {
        std::vector<ElementRef> found;
        if (node.kind == Kind::headerRow) {
            for (auto& header : state_->columnHeaders(node.object.get()))
                found.push_back(state_->intern(std::move(header), Kind::element));
            return found;
        }
        if (node.kind != Kind::element) return found;
        AtspiAccessible* object = node.object.get();
        const int count = state_->childCount(object);
        for (int i = 0; i < count && !state_->quiet(); ++i)
            if (auto child = state_->child(object, i))
                found.push_back(state_->intern(std::move(child), Kind::element));
        return found;
    });
}

}  // namespace vl
