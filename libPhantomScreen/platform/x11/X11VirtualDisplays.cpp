#include "libPhantomScreen/platform/x11/X11VirtualDisplays.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include <unistd.h>

namespace vl::ps {

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

std::string modeName(std::uint16_t width, std::uint16_t height) {
    return "VL" + std::to_string(width) + "x" + std::to_string(height);
}

// Only the dummy driver's outputs are spare: a real GPU's unplugged connector can be switched on
// but shows nothing anyone can capture.
bool isSpareKind(const x11::OutputState& output) {
    return output.name.rfind("DUMMY", 0) == 0;
}

}  // namespace

xcb_randr_mode_info_t modeTiming(std::uint16_t width, std::uint16_t height, double rate) {
    xcb_randr_mode_info_t info{};
    info.width = width;
    info.height = height;
    info.hsync_start = width + 48;
    info.hsync_end = width + 80;
    info.htotal = width + 160;
    info.vsync_start = height + 3;
    info.vsync_end = height + 8;
    info.vtotal = height + 40;
    double clock = double(info.htotal) * info.vtotal * rate;
    info.dot_clock =
        std::uint32_t(std::min(clock, double(std::numeric_limits<std::uint32_t>::max())));
    info.mode_flags = XCB_RANDR_MODE_FLAG_HSYNC_POSITIVE | XCB_RANDR_MODE_FLAG_VSYNC_POSITIVE;
    return info;
}

class X11VirtualDisplays::Display final : public VirtualDisplay {
  public:
    // Either a spare output or, with output 0, a virtual monitor of that name.
    Display(X11VirtualDisplays& owner, xcb_randr_output_t output, xcb_atom_t monitor,
            VirtualDisplayDescriptor d)
        : owner(owner),
          output(output),
          monitor(monitor),
          server(owner.screen_.generation()),
          descriptor_(std::move(d)) {}
    ~Display() override { owner.remove(*this); }

    DisplayID displayID() const override {
        return monitor ? x11::monitorDisplayID(monitor) : output;
    }
    const VirtualDisplayDescriptor& descriptor() const override { return descriptor_; }
    bool applySettings(const VirtualDisplaySettings& settings) override {
        return owner.apply(*this, settings);
    }

    X11VirtualDisplays& owner;
    xcb_randr_output_t output = 0;
    xcb_atom_t monitor = 0;               // the monitor's name, when it is a virtual monitor
    std::vector<xcb_randr_mode_t> modes;  // added to the output by this display
    std::uint64_t server;                 // the connection generation it was made on

  private:
    VirtualDisplayDescriptor descriptor_;
};

X11VirtualDisplays::X11VirtualDisplays(std::string displayName, Report report)
    : report_(report), screen_(displayName, report), displays_(displayName, report) {}

std::unique_ptr<VirtualDisplay> X11VirtualDisplays::createDisplay(
    const VirtualDisplayDescriptor& descriptor) {
    std::lock_guard lock(mutex_);
    auto snap = screen_.snapshot();
    if (!snap) {
        if (report_) report_("virtual display: no X server reachable");
        return nullptr;
    }
    auto identities = screen_.readIdentities();
    auto isClaimed = [&](xcb_randr_output_t id) {
        return claimed_.count(id) ||
               std::any_of(identities.begin(), identities.end(),
                           [id](const x11::VirtualIdentity& v) { return v.output == id; });
    };
    for (const auto& output : snap->outputs) {
        if (!isSpareKind(output) || output.crtc != 0 || isClaimed(output.id)) continue;
        claimed_.insert(output.id);
        screen_.updateIdentities([&](std::vector<x11::VirtualIdentity>& list) {
            list.push_back({output.id, descriptor.vendorID, descriptor.productID,
                            descriptor.serialNum, descriptor.name});
        });
        return std::make_unique<Display>(*this, output.id, 0, descriptor);
    }
    return createMonitor(descriptor, identities);
}

std::unique_ptr<VirtualDisplay> X11VirtualDisplays::createMonitor(
    const VirtualDisplayDescriptor& descriptor, const std::vector<x11::VirtualIdentity>& taken) {
    if (!screen_.hasMonitors()) {
        if (report_)
            report_(
                "virtual display: the X server has no spare output and no RandR 1.5 "
                "monitors; no virtual display can be added");
        return nullptr;
    }
    // One name per display of this process; the record tells whether another holds it.
    auto name = "VL-" + descriptor.name + "-" + std::to_string(getpid());
    auto atom = screen_.atom(name.c_str());
    auto id = x11::monitorDisplayID(atom);
    if (atom == XCB_ATOM_NONE || claimed_.count(id) ||
        std::any_of(taken.begin(), taken.end(),
                    [id](const x11::VirtualIdentity& v) { return v.output == id; }))
        return nullptr;
    if (!monitorFallbackReported_ && report_)
        report_(
            "virtual display: the X server has no spare output; virtual displays are RandR "
            "monitors in an enlarged framebuffer, which applications use and no screen shows");
    monitorFallbackReported_ = true;
    claimed_.insert(id);
    screen_.updateIdentities([&](std::vector<x11::VirtualIdentity>& list) {
        list.push_back(
            {id, descriptor.vendorID, descriptor.productID, descriptor.serialNum, descriptor.name});
    });
    return std::make_unique<Display>(*this, 0, atom, descriptor);
}

bool X11VirtualDisplays::onItsServer(const Display& display) const {
    return display.server == screen_.generation();
}

void X11VirtualDisplays::reportRangeCheck(const VirtualDisplayMode& mode,
                                          const x11::ScreenSnapshot& snap) {
    if (report_)
        report_("virtual display: " + std::to_string(mode.width) + "x" +
                std::to_string(mode.height) + " does not fit in the X screen (" +
                std::to_string(snap.maxWidth) + "x" + std::to_string(snap.maxHeight) + " at most)");
}

bool X11VirtualDisplays::applyMonitor(Display& display, const VirtualDisplaySettings& settings) {
    auto snap = screen_.snapshot();
    if (!snap || !onItsServer(display)) return false;
    const auto& mode = settings.modes.front();
    auto id = display.displayID();
    std::int32_t x, y;
    if (auto* existing = snap->virtualMonitor(id)) {
        x = existing->x;
        y = existing->y;
    } else {
        double right = 0;
        for (auto other : snap->enabledOutputs())
            right = std::max(right, snap->bounds(other)->maxX());
        x = std::int32_t(right);
        y = 0;
    }
    if (x + std::int64_t(mode.width) > snap->maxWidth ||
        y + std::int64_t(mode.height) > snap->maxHeight) {
        reportRangeCheck(mode, *snap);
        return false;
    }
    auto error = screen_.fitFramebuffer(x + int(mode.width), y + int(mode.height));
    if (error == DisplayError::success)
        error = screen_.setMonitor(display.monitor, std::int16_t(x), std::int16_t(y),
                                   std::uint16_t(mode.width), std::uint16_t(mode.height));
    if (error != DisplayError::success) {
        if (report_)
            report_(std::string("virtual display: RandR refused the monitor: ") +
                    description(error));
        screen_.fitFramebuffer(0, 0);
        return false;
    }
    return true;
}

std::optional<xcb_randr_mode_t> X11VirtualDisplays::modeFor(const x11::ScreenSnapshot& snap,
                                                            const VirtualDisplayMode& mode) {
    auto name = modeName(std::uint16_t(mode.width), std::uint16_t(mode.height));
    for (const auto& [id, info] : snap.modes)
        if (info.name == name) return id;
    auto timing =
        modeTiming(std::uint16_t(mode.width), std::uint16_t(mode.height), mode.refreshRate);
    timing.name_len = std::uint16_t(name.size());  // the server takes the name's length from here
    double reached = double(timing.dot_clock) / (double(timing.htotal) * timing.vtotal);
    if (reached + 0.5 < mode.refreshRate && report_)
        report_("virtual display: " + name + " runs at " + std::to_string(int(reached)) +
                " Hz, the most RandR's dot clock allows");
    auto* c = screen_.connection();
    Reply<xcb_randr_create_mode_reply_t> reply(xcb_randr_create_mode_reply(
        c, xcb_randr_create_mode(c, screen_.root(), timing, name.size(), name.data()), nullptr));
    if (!reply) return std::nullopt;
    return reply->mode;
}

bool X11VirtualDisplays::apply(Display& display, const VirtualDisplaySettings& settings) {
    std::lock_guard lock(mutex_);
    if (settings.modes.empty()) return false;
    for (const auto& mode : settings.modes)
        if (mode.width == 0 || mode.height == 0 || mode.width > 32767 || mode.height > 32767)
            return false;
    if (display.monitor) return applyMonitor(display, settings);
    auto snap = screen_.snapshot();
    if (!snap || !onItsServer(display)) return false;
    auto* output = snap->output(display.output);
    if (!output) return false;
    auto* c = screen_.connection();

    std::vector<xcb_randr_mode_t> wanted;
    for (const auto& mode : settings.modes) {
        auto id = modeFor(*snap, mode);
        if (!id) return false;
        wanted.push_back(*id);
        if (std::find(output->modes.begin(), output->modes.end(), *id) == output->modes.end()) {
            xcb_randr_add_output_mode(c, display.output, *id);
        }
        if (std::find(display.modes.begin(), display.modes.end(), *id) == display.modes.end())
            display.modes.push_back(*id);
    }
    xcb_flush(c);
    snap = screen_.snapshot();  // sees the new modes
    if (!snap || !onItsServer(display)) return false;
    output = snap->output(display.output);

    xcb_randr_crtc_t crtc = output->crtc;
    if (crtc == 0)
        for (auto candidate : output->possibleCrtcs) {
            auto it = snap->crtcs.find(candidate);
            if (it != snap->crtcs.end() && !it->second.enabled() && it->second.outputs.empty()) {
                crtc = candidate;
                break;
            }
        }
    if (crtc == 0) {
        if (report_) report_("virtual display: no free CRTC for output " + output->name);
        return false;
    }
    double right = 0;
    for (auto other : snap->enabledOutputs())
        if (other != display.output) right = std::max(right, snap->bounds(other)->maxX());
    auto existing = snap->bounds(display.output);
    std::int32_t x = existing ? std::int32_t(existing->x) : std::int32_t(right);
    std::int32_t y = existing ? std::int32_t(existing->y) : 0;

    auto error = screen_.apply(
        *snap, {x11::CrtcChange{
                   crtc, x, y, wanted.front(), XCB_RANDR_ROTATION_ROTATE_0, {display.output}}});
    if (error == DisplayError::rangeCheck)
        reportRangeCheck(settings.modes.front(), *snap);
    else if (error != DisplayError::success && report_)
        report_(std::string("virtual display: RandR refused the configuration: ") +
                description(error));
    // Modes of an earlier start that the new settings no longer list.
    std::vector<xcb_randr_mode_t> stale;
    for (auto id : display.modes)
        if (std::find(wanted.begin(), wanted.end(), id) == wanted.end()) stale.push_back(id);
    if (error != DisplayError::success) stale = display.modes;
    dropModes(display.output, stale);
    std::erase_if(display.modes, [&](xcb_randr_mode_t id) {
        return std::find(stale.begin(), stale.end(), id) != stale.end();
    });
    return error == DisplayError::success;
}

void X11VirtualDisplays::dropModes(xcb_randr_output_t output,
                                   const std::vector<xcb_randr_mode_t>& modes) {
    if (modes.empty()) return;
    auto* c = screen_.connection();
    const auto server = screen_.generation();
    for (auto id : modes) xcb_randr_delete_output_mode(c, output, id);
    xcb_flush(c);
    auto snap = screen_.snapshot();
    if (!snap || screen_.generation() != server) return;  // c went with its server
    for (auto id : modes) {
        bool used = std::any_of(snap->outputs.begin(), snap->outputs.end(), [&](const auto& o) {
            return std::find(o.modes.begin(), o.modes.end(), id) != o.modes.end();
        });
        if (!used) xcb_randr_destroy_mode(c, id);
    }
    xcb_flush(c);
}

void X11VirtualDisplays::remove(Display& display) {
    std::lock_guard lock(mutex_);
    auto id = display.displayID();
    claimed_.erase(id);
    auto snap = screen_.snapshot();
    // The server went away, and the display with it; a new server has none of its ids.
    if (!snap || !onItsServer(display)) return;
    if (display.monitor) {
        if (snap->virtualMonitor(id)) screen_.deleteMonitor(display.monitor);
        screen_.updateIdentities([&](std::vector<x11::VirtualIdentity>& list) {
            std::erase_if(list, [&](const auto& v) { return v.output == id; });
        });
        screen_.fitFramebuffer(0, 0);
        return;
    }
    if (auto* crtc = snap->crtcOf(display.output))
        screen_.apply(*snap, {x11::CrtcChange{crtc->id, 0, 0, 0, XCB_RANDR_ROTATION_ROTATE_0, {}}});
    dropModes(display.output, display.modes);
    screen_.updateIdentities([&](std::vector<x11::VirtualIdentity>& list) {
        std::erase_if(list, [&](const auto& v) { return v.output == display.output; });
    });
}

void X11VirtualDisplays::warpCursor(DisplayPoint point) {
    std::lock_guard lock(mutex_);
    if (!screen_.ensureConnected()) return;
    xcb_warp_pointer(screen_.connection(), XCB_NONE, screen_.root(), 0, 0, 0, 0,
                     std::int16_t(std::clamp(point.x, -32768.0, 32767.0)),
                     std::int16_t(std::clamp(point.y, -32768.0, 32767.0)));
    xcb_flush(screen_.connection());
}

}  // namespace vl::ps
