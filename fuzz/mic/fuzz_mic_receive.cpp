// The microphone port's receive path: any byte stream, cut into receives anywhere, through the
// packet framing with its desync guard, the AAC-ELD decoder and the push into the device, must
// neither crash nor grow without bound.
#include "base/Logger.h"
#include "comm/MicServer.h"

#include <cstddef>
#include <cstdint>

namespace {

// A microphone that takes every push and keeps nothing.
class DiscardingMicrophone final : public vl::AudioHardware {
  public:
    vl::AudioGetResult getProperty(vl::AudioObjectID object, const vl::AudioPropertyAddress& a,
                                   const std::string&) override {
        if (object == vl::audioSystemObject && a.selector == vl::audio::translateUIDToDevice)
            return {vl::audiostatus::noError, vl::AudioValue(std::uint32_t(2))};
        return {vl::audiostatus::noError, vl::AudioValue(std::uint32_t(0))};
    }
    vl::AudioStatus setProperty(vl::AudioObjectID, const vl::AudioPropertyAddress&,
                                const vl::AudioValue& value) override {
        if (const auto* pcm = std::get_if<vl::Bytes>(&value); pcm && pcm->size() % 8 != 0)
            __builtin_trap();  // always whole stereo frames
        return vl::audiostatus::noError;
    }
    vl::AudioListenerToken addPropertyListener(vl::AudioObjectID, const vl::AudioPropertyAddress&,
                                               vl::AudioPropertyListener) override {
        return 0;
    }
    void removePropertyListener(vl::AudioListenerToken) override {}
};

}  // namespace

// Reports have nowhere to go: formatting and queueing them per input would cost more than the
// input's own work.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vl::Logger::shared().setWritesToStderr(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static vl::DispatchQueue callbacks("main");
    static auto server = [] {
        auto s = vl::MicServer::make(
            0, std::make_shared<vl::DispatchQueue>("MicServerQueue"), "MicServer",
            [] { return std::optional<vl::TlsIdentity>(); }, nullptr,
            std::make_shared<DiscardingMicrophone>(), callbacks);
        s->decoder()->start();
        return s;
    }();
    if (size == 0) return 0;
    // The first byte chooses the receive size, as a transport would cut the stream.
    const std::size_t chunk = 1 + data[0] % 64 * 67;
    vl::ByteView rest(data + 1, size - 1);
    while (!rest.empty()) {
        const std::size_t n = std::min(chunk, rest.size());
        server->received(rest.first(n));
        if (server->bufferedBytes() > vl::Packet::headerSize + vl::MicServer::maxPacketLength)
            __builtin_trap();
        rest = rest.subspan(n);
    }
    // Nothing carries over into the next input.
    server->received(vl::Bytes(vl::Packet::headerSize, 0xff));
    return 0;
}
