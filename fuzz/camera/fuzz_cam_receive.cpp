// The camera port's receive path: any byte stream, cut into receives anywhere, through the packet
// framing with its desync guard and into the camera device, must neither crash nor grow without
// bound. The daemon's socket reader gets the same bytes.
#include "Lensway/LenswayWire.h"
#include "base/Logger.h"
#include "comm/CamServer.h"
#include "platform/cameradevices/fake/FakeCameraDevices.h"
#include "platform/notify/fake/InProcessNotifyCenter.h"

#include <cstddef>
#include <cstdint>

// Reports have nowhere to go: formatting and queueing them per input would cost more than the
// input's own work.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vl::Logger::shared().setWritesToStderr(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto devices = [] {
        auto fake = std::make_shared<vl::FakeCameraDevices>();
        fake->addDevice(vl::CamServer::camDeviceUID, 1);
        fake->failWritesWith(vl::CameraStatus::writeFailed);  // nothing kept between inputs
        return fake;
    }();
    static auto notify = std::make_shared<vl::InProcessNotifyCenter>();
    static auto server = vl::CamServer::make(
        0, std::make_shared<vl::DispatchQueue>("camServerQueue"), "CamServer",
        [] { return std::optional<vl::TlsIdentity>(); }, nullptr, {notify, devices});
    if (size == 0) return 0;
    // The first byte chooses the receive size, as a transport would cut the stream.
    const std::size_t chunk = 1 + data[0] % 64 * 67;
    vl::ByteView rest(data + 1, size - 1);
    vl::CamServer::ReceiveBuffer buffer;
    vl::lensway::MessageReader reader;
    while (!rest.empty()) {
        const std::size_t n = std::min(chunk, rest.size());
        server->received(buffer, rest.first(n));
        if (buffer.size() > vl::Packet::headerSize + vl::CamServer::maxPacketLength)
            __builtin_trap();
        reader.append(rest.first(n));
        while (auto message = reader.next()) (void)vl::lensway::deviceOf(*message);
        rest = rest.subspan(n);
    }
    // A failed write makes the server show the device again; the fake keeps every name posted,
    // which would grow from input to input and make each one look like a leak.
    notify->clearPosted();
    return 0;
}
