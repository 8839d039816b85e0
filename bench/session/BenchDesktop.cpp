#include "bench/session/BenchDesktop.h"

#include "platform/capture/mutter/MutterCaptureService.h"
#include "platform/capture/tests/XvfbServer.h"
#include "platform/capture/x11/X11CaptureService.h"
#include "platform/desktop/ChildProcess.h"
#include "platform/mutter/MutterBus.h"
#include "platform/mutter/MutterVirtualMonitor.h"
#include "tests/wayland/PrivateMutter.h"

#include <poll.h>
#include <sys/socket.h>
#include <xcb/xcb.h>

#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace vl::bench {

const char* description(DesktopKind kind) {
    switch (kind) {
        case DesktopKind::x11:
            return "X11";
        case DesktopKind::mutter:
            return "Mutter";
    }
    return "unknown";
}

std::optional<DesktopKind> desktopKindNamed(const std::string& name) {
    if (name == "x11") return DesktopKind::x11;
    if (name == "mutter") return DesktopKind::mutter;
    return std::nullopt;
}

std::vector<std::uint8_t> desktopBGRA(int width, int height) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = pixels.data() + (static_cast<std::size_t>(y) * width + x) * 4;
            const bool panel = (x / 256 + y / 256) % 2 == 0;
            const bool stripe = (y % 16) < 2 && (x % 200) < 150;
            const bool glyph =
                (y % 16) > 4 && (y % 16) < 13 && ((x * 7 + y * 3) % 11) < 4 && (x % 200) < 150;
            std::uint8_t v = panel ? 240 : static_cast<std::uint8_t>(x & 0xff);
            if (stripe || glyph) v = 20;
            p[0] = v;
            p[1] = panel ? 240 : static_cast<std::uint8_t>((stripe || glyph) ? 20 : y & 0xff);
            p[2] = panel ? 245 : static_cast<std::uint8_t>((stripe || glyph) ? 20 : 128);
            p[3] = 255;
        }
    }
    return pixels;
}

namespace {

// Xvfb on one of :90 to :94, drawn by an X client of this process.
class X11Desktop final : public BenchDesktop {
  public:
    X11Desktop(int width, int height) : x_(width, height, 90, 94), width_(width), height_(height) {}
    ~X11Desktop() override {
        if (connection_) xcb_disconnect(connection_);
    }

    bool open(std::string* error) {
        if (!x_.running()) {
            *error = "no free display :90 to :94 for Xvfb";
            return false;
        }
        connection_ = xcb_connect(x_.name().c_str(), nullptr);
        if (xcb_connection_has_error(connection_)) {
            *error = "cannot connect to " + x_.name();
            return false;
        }
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        gc_ = xcb_generate_id(connection_);
        xcb_create_gc(connection_, gc_, screen_->root, 0, nullptr);
        // Twice as wide as the screen, so that any scroll offset shows a whole screen.
        pixmap_ = xcb_generate_id(connection_);
        xcb_create_pixmap(connection_, screen_->root_depth, pixmap_, screen_->root,
                          static_cast<std::uint16_t>(2 * width_),
                          static_cast<std::uint16_t>(height_));
        const auto pixels = desktopBGRA(2 * width_, height_);
        const int rows = std::max(1, 240000 / (2 * width_ * 4));
        for (int y = 0; y < height_; y += rows) {
            const int n = std::min(rows, height_ - y);
            xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap_, gc_,
                          static_cast<std::uint16_t>(2 * width_), static_cast<std::uint16_t>(n), 0,
                          static_cast<std::int16_t>(y), 0, screen_->root_depth,
                          static_cast<std::uint32_t>(2 * width_ * 4 * n),
                          pixels.data() + static_cast<std::size_t>(y) * 2 * width_ * 4);
        }
        sync();
        capture_ = std::make_shared<X11CaptureService>(x_.name());
        return true;
    }

    std::string name() const override { return x_.name(); }
    std::shared_ptr<CaptureService> captureService() override { return capture_; }
    std::vector<pid_t> compositorProcesses() const override {
        // The X server's process id, from its lock file.
        std::ifstream lock("/tmp/.X" + x_.name().substr(1) + "-lock");
        long pid = 0;
        lock >> pid;
        return {static_cast<pid_t>(pid)};
    }
    const char* compositorName() const override { return "X server"; }

    Clock::time_point scroll(int step) override {
        const int offset = (step * 4) % width_;
        xcb_copy_area(connection_, pixmap_, screen_->root, gc_, static_cast<std::int16_t>(offset),
                      0, 0, 0, static_cast<std::uint16_t>(width_),
                      static_cast<std::uint16_t>(height_));
        sync();
        return Clock::now();
    }
    Clock::time_point square(bool white) override {
        const std::uint32_t colour = white ? 0xffffff : 0x000000;
        xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &colour);
        const xcb_rectangle_t r{static_cast<std::int16_t>(width_ / 2 - 128),
                                static_cast<std::int16_t>(height_ / 2 - 128), 256, 256};
        xcb_poly_fill_rectangle(connection_, screen_->root, gc_, 1, &r);
        sync();
        return Clock::now();
    }

  private:
    void sync() {
        std::free(
            xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }

    test::XvfbServer x_;
    int width_, height_;
    xcb_connection_t* connection_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    xcb_gcontext_t gc_ = 0;
    xcb_pixmap_t pixmap_ = 0;
    std::shared_ptr<X11CaptureService> capture_;
};

// A private headless Mutter with a virtual monitor of the size, drawn by a GTK client
// (wayland_painter.py) that answers once its frame is committed.
class MutterDesktop final : public BenchDesktop {
  public:
    ~MutterDesktop() override {
        if (channel_ >= 0) ::close(channel_);
        painter_.stop(std::chrono::milliseconds(1000));
        monitor_.reset();
        if (monitors_) monitors_->remove(displayID_);
        for (const auto& [name, value] : savedEnvironment_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

    bool open(int width, int height, int fps, std::string* error) {
        if (auto missing = testing::PrivateMutter::missingProgram()) {
            *error = *missing;
            return false;
        }
        desktop_ = testing::PrivateMutter::start(error);
        if (!desktop_) return false;
        // Before this process's PipeWire consumer connects; put back when done, for the desktops
        // measured after this one.
        for (const char* name : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR"}) {
            const char* value = std::getenv(name);
            savedEnvironment_.emplace_back(
                name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        setenv("PIPEWIRE_RUNTIME_DIR", desktop_->runtimeDirectory().c_str(), 1);
        setenv("XDG_RUNTIME_DIR", desktop_->runtimeDirectory().c_str(), 1);
        bus_ = MutterBus::open(desktop_->busAddress(), error);
        if (!bus_) return false;
        monitors_ = std::make_shared<MutterMonitors>(bus_);
        monitor_ =
            monitors_->add({.width = width, .height = height, .framesPerSecond = fps}, error);
        if (!monitor_) return false;
        displayID_ = monitor_->displayID();
        capture_ = std::make_shared<MutterCaptureService>(monitors_, nullptr);

        // The picture as raw RGB for GdkPixbuf.
        const std::string picture = desktop_->runtimeDirectory() + "/painter.rgb";
        {
            const auto bgra = desktopBGRA(2 * width, height);
            std::vector<char> rgb(bgra.size() / 4 * 3);
            for (std::size_t i = 0, j = 0; i < bgra.size(); i += 4, j += 3) {
                rgb[j] = static_cast<char>(bgra[i + 2]);
                rgb[j + 1] = static_cast<char>(bgra[i + 1]);
                rgb[j + 2] = static_cast<char>(bgra[i]);
            }
            std::ofstream(picture, std::ios::binary).write(rgb.data(), std::streamsize(rgb.size()));
        }
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            *error = "socketpair";
            return false;
        }
        auto environment = desktop_->clientEnvironment();
        environment.push_back("GDK_BACKEND=wayland");
        environment.push_back("NO_AT_BRIDGE=1");
        auto child =
            ChildProcess::start({.arguments = {"/usr/bin/python3", VL_WAYLAND_PAINTER, picture,
                                               std::to_string(width), std::to_string(height)},
                                 .environment = environment,
                                 .logFile = desktop_->runtimeDirectory() + "/painter.log",
                                 .passFd = pair[1]});
        ::close(pair[1]);
        channel_ = pair[0];
        if (!child) {
            *error = "cannot start the painter";
            return false;
        }
        painter_ = std::move(*child);
        if (!answer("ready", std::chrono::seconds(30))) {
            std::ifstream log(desktop_->runtimeDirectory() + "/painter.log");
            *error = "the painter never showed its window at " + std::to_string(width) + "x" +
                     std::to_string(height) + ": " +
                     std::string((std::istreambuf_iterator<char>(log)), {});
            return false;
        }
        return true;
    }

    std::string name() const override { return "Mutter " + monitor_->connector(); }
    std::shared_ptr<CaptureService> captureService() override { return capture_; }
    std::vector<pid_t> compositorProcesses() const override {
        return {desktop_->mutterPid(), desktop_->pipewirePid()};
    }
    const char* compositorName() const override { return "Mutter + PipeWire"; }

    Clock::time_point scroll(int step) override { return tell("scroll " + std::to_string(step)); }
    Clock::time_point square(bool white) override {
        return tell(std::string("square ") + (white ? "1" : "0"));
    }

  private:
    Clock::time_point tell(const std::string& command) {
        const std::string line = command + "\n";
        if (::write(channel_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return Clock::now();
        return answer("drawn", std::chrono::seconds(5)).value_or(Clock::now());
    }

    // The time in the painter's next line, which starts with `word`.
    std::optional<Clock::time_point> answer(const std::string& word,
                                            std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            const auto end = buffered_.find('\n');
            if (end != std::string::npos) {
                const std::string line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                if (line.rfind(word + " ", 0) != 0) continue;
                const long long ns = std::atoll(line.c_str() + word.size() + 1);
                return Clock::time_point(std::chrono::nanoseconds(ns));
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd fd{channel_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[256];
            const ssize_t n = ::read(channel_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffered_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    std::unique_ptr<testing::PrivateMutter> desktop_;
    std::shared_ptr<MutterBus> bus_;
    std::shared_ptr<MutterMonitors> monitors_;
    std::shared_ptr<MutterVirtualMonitor> monitor_;
    std::uint32_t displayID_ = 0;
    std::shared_ptr<MutterCaptureService> capture_;
    ChildProcess painter_;
    int channel_ = -1;
    std::string buffered_;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment_;
};

}  // namespace

std::unique_ptr<BenchDesktop> BenchDesktop::start(DesktopKind kind, int width, int height, int fps,
                                                  std::string* error) {
    if (kind == DesktopKind::x11) {
        auto desktop = std::make_unique<X11Desktop>(width, height);
        if (!desktop->open(error)) return nullptr;
        return desktop;
    }
    auto desktop = std::make_unique<MutterDesktop>();
    if (!desktop->open(width, height, fps, error)) return nullptr;
    return desktop;
}

}  // namespace vl::bench
