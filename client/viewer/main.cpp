// vantrel-link-viewer: a Vantrel Link desktop in a window of this machine — the stream shown
// scaled, the pointer and keys sent back, the system audio played and the clipboard kept in step.
#include "client/ShareRequest.h"
#include "client/viewer/VideoWindow.h"
#include "client/viewer/Viewer.h"
#include "client/viewer/ViewerOptions.h"
#include "client/viewer/ViewerSession.h"
#include "client/viewer/clipboard/ViewerClipboard.h"
#include "client/viewer/media/ViewerAudio.h"
#include "comm/DisplayDescriptor.h"
#include "platform/discovery/avahi/AvahiDiscovery.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <thread>

#include <unistd.h>

using namespace vl;

namespace {

constexpr std::uint16_t defaultPort = 8788;

void usage() {
    std::fprintf(stderr,
                 "usage: vantrel-link-viewer [HOST[:PORT]] [--password P | --password-file F]\n"
                 "                           [--size WxH[@FPS]] [--hdr] [--extra WxH[@FPS]]\n"
                 "                           [--fullscreen] [--decoder software|vaapi|auto]\n"
                 "                           [--decode-threads N] [--no-reconnect]\n"
                 "\n"
                 "Without a host, servers found on the network are offered. The password may\n"
                 "also come from VANTREL_LINK_PASSWORD; without one it is asked for in the\n"
                 "window. Without --size the remote display follows the window's size.\n"
                 "When the server stops or is lost the window offers to reconnect (R) or\n"
                 "quit (Q, exit status 5); --no-reconnect exits at once instead.\n"
                 "Keys: Ctrl+Alt+G releases the keyboard, Ctrl+Alt+S shows the status,\n"
                 "Ctrl+Alt+F full screen, Ctrl+Alt+M mute, Ctrl+Alt+Up/Down volume,\n"
                 "Ctrl+Alt+Q quits.\n");
}

int statusFor(ConnectFailure failure) {
    switch (failure) {
        case ConnectFailure::busy:
            return busy;
        case ConnectFailure::wrongPassword:
            return wrongPassword;
        default:
            return failed;
    }
}

// A line of text typed into the window, shown in its title (masked for a secret). Nothing when
// the user closes the window or presses Escape.
std::optional<std::string> askInWindow(VideoWindow& window, const std::string& prompt,
                                       bool secret) {
    std::string text;
    SDL_StartTextInput();
    auto show = [&] {
        window.setTitle(prompt + (secret ? std::string(text.size(), '*') : text) + "_");
    };
    show();
    SDL_Event e;
    while (SDL_WaitEvent(&e)) {
        if (e.type == SDL_QUIT) break;
        if (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_CLOSE) break;
        if (e.type == SDL_WINDOWEVENT) window.redraw();
        if (e.type == SDL_TEXTINPUT) {
            text += e.text.text;
            show();
        } else if (e.type == SDL_KEYDOWN) {
            if (e.key.keysym.sym == SDLK_ESCAPE) break;
            if (e.key.keysym.sym == SDLK_RETURN || e.key.keysym.sym == SDLK_KP_ENTER) {
                SDL_StopTextInput();
                return text;
            }
            if (e.key.keysym.sym == SDLK_BACKSPACE && !text.empty()) {
                // One UTF-8 character back.
                do text.pop_back();
                while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80);
                show();
            }
        }
    }
    SDL_StopTextInput();
    return std::nullopt;
}

// The server to connect to, from those found on the network: listed on the terminal and chosen
// with the arrow keys in the window.
std::optional<std::string> chooseServer(VideoWindow& window) {
    window.setTitle("Vantrel Link — looking for servers…");
    AvahiDiscovery discovery;
    std::string error;
    auto found =
        discovery.browse("_corvanevantrellink._tcp.", std::chrono::milliseconds(2000), &error);
    if (!found) {
        std::fprintf(stderr, "vantrel-link-viewer: no host given and discovery failed: %s\n",
                     error.c_str());
        return std::nullopt;
    }
    if (found->empty()) {
        std::fprintf(stderr, "vantrel-link-viewer: no servers found; give HOST[:PORT]\n");
        return std::nullopt;
    }
    for (std::size_t i = 0; i < found->size(); ++i)
        std::printf("%zu: %s %s:%d\n", i + 1, (*found)[i].name.c_str(), (*found)[i].address.c_str(),
                    (*found)[i].port);
    std::fflush(stdout);
    std::size_t chosen = 0;
    auto target = [&] {
        const auto& s = (*found)[chosen];
        return s.address + ":" + std::to_string(s.port);
    };
    if (found->size() == 1) return target();
    auto show = [&] {
        window.setTitle("Choose a server (←/→, Enter): " + std::to_string(chosen + 1) + "/" +
                        std::to_string(found->size()) + " " + (*found)[chosen].name + " " +
                        target());
    };
    show();
    SDL_Event e;
    while (SDL_WaitEvent(&e)) {
        if (e.type == SDL_QUIT) break;
        if (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_CLOSE) break;
        if (e.type != SDL_KEYDOWN) continue;
        const auto key = e.key.keysym.sym;
        if (key == SDLK_ESCAPE) break;
        if (key == SDLK_RETURN || key == SDLK_KP_ENTER) return target();
        if (key == SDLK_RIGHT || key == SDLK_DOWN) chosen = (chosen + 1) % found->size();
        if (key == SDLK_LEFT || key == SDLK_UP)
            chosen = (chosen + found->size() - 1) % found->size();
        show();
    }
    return std::nullopt;
}

// This machine as the server records its client: stable across runs, so that the server finds the
// window layout it saved for it.
ClientIdentity viewerIdentity() {
    ClientIdentity identity;
    std::string machine;
    std::ifstream("/etc/machine-id") >> machine;
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    identity.deviceID = "vantrel-link-viewer-" + (machine.empty() ? std::string(host) : machine);
    identity.deviceName = std::string("Vantrel Link viewer on ") + host;
    return identity;
}

// The window's size for the remote display: the one asked for, shrunk to fit this screen.
PixelSize initialWindowSize(const std::optional<DisplayDescriptor>& asked) {
    SDL_Rect usable{0, 0, 1280, 720};
    SDL_GetDisplayUsableBounds(0, &usable);
    if (asked) {
        const auto fit = letterbox(asked->width, asked->height, usable.w, usable.h);
        if (fit.width >= asked->width) return {asked->width, asked->height};
        return {fit.width, fit.height};
    }
    // Without a size: 1280x720 where it fits, else most of the screen. Even sizes suit the codec.
    PixelSize size{std::min(1280, usable.w * 9 / 10), std::min(720, usable.h * 9 / 10)};
    size.width &= ~1;
    size.height &= ~1;
    return size;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    auto options = parseViewerOptions(argc, argv, &error);
    if (!options) {
        std::fprintf(stderr, "vantrel-link-viewer: %s\n", error.c_str());
        usage();
        return usageError;
    }
    std::optional<DisplayDescriptor> asked;
    if (options->size) {
        asked = parseDisplayDescriptor(*options->size);
        if (!asked || asked->width <= 0 || asked->height <= 0) {
            std::fprintf(stderr, "vantrel-link-viewer: unreadable size '%s' (expected WxH[@FPS])\n",
                         options->size->c_str());
            return usageError;
        }
    }
    auto password = resolvePassword(*options, std::getenv("VANTREL_LINK_PASSWORD"), &error);
    if (!password && !error.empty()) {
        std::fprintf(stderr, "vantrel-link-viewer: %s\n", error.c_str());
        return usageError;
    }

    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) {
        std::fprintf(stderr, "vantrel-link-viewer: cannot start SDL: %s\n", SDL_GetError());
        return failed;
    }
    const Uint32 wakeEvent = SDL_RegisterEvents(1);
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "1");
    // The X server's own implicit grab keeps a press's events with its window; SDL's capture on
    // top of it can report the release on the other window.
    SDL_SetHint(SDL_HINT_MOUSE_AUTO_CAPTURE, "0");
    // The click that gives the window the focus is the user's click on the remote desktop too;
    // SDL would drop a press that comes within 10 ms of the focus.
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    // Keys typed in the window go to the remote machine, shortcuts of this desktop included.
    SDL_SetHint(SDL_HINT_GRAB_KEYBOARD, "1");
    // Where SDL draws in software it would hand each frame to a software OpenGL to put on screen
    // (6 to 14 ms a picture without a GPU); the X server's own image path takes about 1 ms. A GPU
    // renderer does not use this path. (The environment variable still wins, for comparisons.)
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    int status = ok;
    {
        const auto windowSize = initialWindowSize(asked);
        auto window =
            VideoWindow::create("Vantrel Link", windowSize, options->fullscreen, wakeEvent, &error);
        if (!window) {
            std::fprintf(stderr, "vantrel-link-viewer: %s\n", error.c_str());
            SDL_Quit();
            return failed;
        }
        std::string target = options->target;
        if (target.empty()) {
            auto chosen = chooseServer(*window);
            if (!chosen) {
                SDL_Quit();
                return failed;
            }
            target = *chosen;
        }
        auto hostPort = parseHostPort(target, defaultPort);
        if (!hostPort) {
            std::fprintf(stderr, "vantrel-link-viewer: unreadable host '%s'\n", target.c_str());
            SDL_Quit();
            return usageError;
        }
        const bool asking = !password;
        std::string prompt = "Password for " + target + ": ";
        std::unique_ptr<ViewerSession> session;
        while (!session) {
            if (asking) {
                password = askInWindow(*window, prompt, true);
                if (!password) {
                    SDL_Quit();
                    return failed;
                }
            }
            window->setTitle("Vantrel Link — connecting to " + target + "…");
            ViewerSession::Failure failure{};
            const ClientIdentity identity = viewerIdentity();
            session = ViewerSession::connect(hostPort->first, hostPort->second, *password, identity,
                                             &failure);
            if (session) break;
            std::fprintf(stderr, "vantrel-link-viewer: %s: %s%s%s\n", target.c_str(),
                         std::string(description(failure.reason)).c_str(),
                         failure.detail.empty() ? "" : " — ", failure.detail.c_str());
            if (!(asking && failure.reason == ConnectFailure::wrongPassword)) {
                SDL_Quit();
                return statusFor(failure.reason);
            }
            prompt = "Wrong password, try again: ";
        }
        std::printf("connected to %s\n", target.c_str());
        std::fflush(stdout);
        const PixelSize requested = asked ? PixelSize{asked->width, asked->height} : window->size();
        const int fps = asked && options->size->find('@') != std::string::npos ? asked->fps : 30;
        const std::string host = hostPort->first;
        const std::uint16_t port = hostPort->second;
        Reconnect reconnect = [host, port, password](ViewerSession::Failure* failure) {
            return ViewerSession::connect(host, port, *password, viewerIdentity(), failure);
        };
        Viewer viewer(*options, std::move(session), std::move(window), wakeEvent,
                      std::move(reconnect));
        status = viewer.run(requested, fps);
    }
    SDL_Quit();
    return status;
}
