#include "platform/windows/gnomeshell/GnomeShellInput.h"

#include "platform/windows/gnomeshell/ShellExtension.h"

namespace vl {

namespace {

constexpr const char* interfaceName = "com.vantrellink.Input";
// Both are asked on the queue that posts input, the pointer every confinement tick: a shell that
// hangs must not hold that queue for the bus's usual 25 s.
constexpr std::uint64_t pointerTimeoutMicroseconds = 100'000;
constexpr std::uint64_t commitTimeoutMicroseconds = 1'000'000;

}  // namespace

std::optional<DisplayPoint> GnomeShellInput::pointer() {
    return bus_->withBus([](sd_bus* c) -> std::optional<DisplayPoint> {
        sd_bus_message* call = nullptr;
        sd_bus_message* reply = nullptr;
        std::int32_t x = 0, y = 0;
        int r = sd_bus_message_new_method_call(c, &call, shellWindowsName, shellExtensionPath,
                                               interfaceName, "Pointer");
        if (r >= 0) r = sd_bus_call(c, call, pointerTimeoutMicroseconds, nullptr, &reply);
        if (r >= 0) r = sd_bus_message_read(reply, "ii", &x, &y);
        sd_bus_message_unref(call);
        sd_bus_message_unref(reply);
        if (r < 0) return std::nullopt;
        return DisplayPoint{double(x), double(y)};
    });
}

bool GnomeShellInput::commitText(const std::string& text) {
    return bus_->withBus([&](sd_bus* c) {
        sd_bus_message* call = nullptr;
        sd_bus_message* reply = nullptr;
        int committed = 0;
        int r = sd_bus_message_new_method_call(c, &call, shellWindowsName, shellExtensionPath,
                                               interfaceName, "CommitText");
        if (r >= 0) r = sd_bus_message_append(call, "s", text.c_str());
        if (r >= 0) r = sd_bus_call(c, call, commitTimeoutMicroseconds, nullptr, &reply);
        if (r >= 0) r = sd_bus_message_read(reply, "b", &committed);
        sd_bus_message_unref(call);
        sd_bus_message_unref(reply);
        return r >= 0 && committed;
    });
}

}  // namespace vl
