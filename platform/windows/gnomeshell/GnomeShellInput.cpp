#include "platform/windows/gnomeshell/GnomeShellInput.h"

#include "platform/windows/gnomeshell/ShellExtension.h"

namespace vl {

namespace {

constexpr const char* interfaceName = "com.vantrellink.Input";
// A commit waits for the shell's next frame; a busy machine takes its time.
constexpr std::uint64_t commitTimeoutMicroseconds = 2'000'000;

}  // namespace

std::optional<DisplayPoint> GnomeShellInput::pointer() {
    return bus_->withBus([](sd_bus* c) -> std::optional<DisplayPoint> {
        sd_bus_message* reply = nullptr;
        std::int32_t x = 0, y = 0;
        int r = sd_bus_call_method(c, shellWindowsName, shellExtensionPath, interfaceName,
                                   "Pointer", nullptr, &reply, "");
        if (r >= 0) r = sd_bus_message_read(reply, "ii", &x, &y);
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
